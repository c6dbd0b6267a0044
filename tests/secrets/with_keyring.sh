#!/usr/bin/env bash
# Runs a test program in a private D-Bus session whose GNOME Keyring has an
# unlocked login collection, in a throwaway home: the user's own keyring is
# never touched. Exits 77 (skipped) when the keyring or D-Bus is missing.
#   with_keyring.sh PROGRAM [ARGS...]
set -euo pipefail
for tool in dbus-run-session gnome-keyring-daemon; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (packages dbus, gnome-keyring)"
        exit 77
    fi
done
home=$(mktemp -d /tmp/iwkeyring.XXXXXX)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_RUNTIME_DIR=$home
unset DISPLAY WAYLAND_DISPLAY
timeout 600 dbus-run-session -- bash -c '
    echo -n iw-test-login | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    exec "$@"' keyring "$@"
