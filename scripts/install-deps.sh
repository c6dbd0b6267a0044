#!/usr/bin/env bash
# Installs the Debian packages a build needs, only when some are missing.
#   install-deps.sh run   - what building and running the program needs
#   install-deps.sh demo  - that, plus the loopback mail servers of `make demo`
#   install-deps.sh test  - that, plus the test tools and the loopback mail servers
set -euo pipefail

run_pkgs=(cmake make g++ pkg-config qt6-base-dev libgl-dev libsqlite3-dev libcurl4-openssl-dev
          libssl-dev xdg-utils libsecret-1-dev nlohmann-json3-dev ccache)
test_pkgs=(libgtest-dev libgmock-dev libbenchmark-dev python3 clang libclang-rt-dev
           dovecot-pop3d postfix python3-pyftpdlib desktop-file-utils appstream
           gnome-keyring libsecret-tools dbus libglib2.0-bin python3-dbusmock lintian systemd)

case "${1:-run}" in
    run) want=("${run_pkgs[@]}") ;;
    demo) want=("${run_pkgs[@]}" dovecot-pop3d postfix python3 openssl) ;;
    test) want=("${run_pkgs[@]}" "${test_pkgs[@]}" openssl) ;;
    *) echo "usage: $0 run|demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "Installing: ${missing[*]}"

# Postfix asks a question on install; the tests bring their own configuration.
if printf '%s\n' "${missing[@]}" | grep -qx postfix; then
    echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
fi

# Mail server packages start system-wide services on install; the tests run
# their own copies on loopback, so keep the packaged ones from starting.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
fi
cleanup() { [ "$made_policy" -eq 1 ] && $SUDO rm -f "$policy"; return 0; }
trap cleanup EXIT

$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
