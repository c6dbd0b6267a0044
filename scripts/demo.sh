#!/usr/bin/env bash
# The filter at work without a real account: the loopback Dovecot and Postfix
# of the tests (scripts/mailservers.sh), a sample mailbox and a demo profile
# in a temporary folder. Nothing outside that folder changes.
#
#   demo.sh run   [BINDIR]   set up, open the program on the profile, and stop
#                            the servers when it ends       (make demo)
#   demo.sh reply            the stranger answers his challenge (make demo-reply)
#   demo.sh check [BINDIR]   set up, scan with inboxwarden-scan, check the
#                            outcome, answer, scan and check again (the tests)
#
# The folder is $IW_DEMO_DIR, else /tmp/inboxwarden-demo-<uid>.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
cmd="${1:-}"
bindir="$(cd "${2:-build-run}" 2>/dev/null && pwd)" || { echo "demo: no folder ${2:-build-run}" >&2; exit 1; }
dir="${IW_DEMO_DIR:-/tmp/inboxwarden-demo-$(id -u)}"
envfile="$dir/mailservers.env"
home="$dir/home"
python="${IW_DEMO_PYTHON:-/usr/bin/python3}"

stop_servers() { "$here/mailservers.sh" stop "$envfile" >/dev/null 2>&1; }

setup() {
    rm -rf "$home"
    mkdir -p "$home" || exit 1
    "$here/mailservers.sh" start "$envfile"
    local started=$?
    if [ "$started" -ne 0 ]; then
        echo "demo: the loopback mail servers did not start (they need dovecot-pop3d, postfix and root or sudo)" >&2
        # 77: cannot run here, which the test command reports as skipped.
        [ "$started" -eq 77 ] && [ "$cmd" = check ] && exit 77
        exit 1
    fi
    trap stop_servers EXIT
    trap 'exit 130' INT TERM
    "$python" "$here/demo.py" profile "$envfile" "$home" || exit 1
    # A first scan of the still empty mailbox makes the database; then the
    # sample friend joins Friends, and the sample mail arrives.
    INBOXWARDEN_HOME="$home" "$bindir/inboxwarden-scan" --readonly >/dev/null || exit 1
    "$python" "$here/demo.py" friends "$home" || exit 1
    "$python" "$here/demo.py" fill "$envfile" || exit 1
}

case "$cmd" in
    run)
        setup
        echo "demo: profile in $home; press Scan (F5) to filter the sample mailbox."
        echo "demo: after the scan, run 'make demo-reply' and scan again."
        INBOXWARDEN_HOME="$home" "$bindir/inboxwarden"
        ;;
    reply)
        exec "$python" "$here/demo.py" reply "$envfile"
        ;;
    check)
        setup
        INBOXWARDEN_HOME="$home" "$bindir/inboxwarden-scan" || exit 1
        "$python" "$here/demo.py" check "$envfile" "$home" 1 || exit 1
        "$python" "$here/demo.py" reply "$envfile" || exit 1
        INBOXWARDEN_HOME="$home" "$bindir/inboxwarden-scan" || exit 1
        "$python" "$here/demo.py" check "$envfile" "$home" 2 || exit 1
        echo "demo: the sample was filtered as expected"
        ;;
    *)
        sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
