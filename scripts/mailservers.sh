#!/usr/bin/env bash
# Private loopback mail servers for the real-server tests and benchmarks:
# a Dovecot (POP3) and a Postfix (SMTP) on 127.0.0.1 at high ports, with a
# throwaway configuration under a short temporary folder, Postfix delivering
# into the Maildirs that Dovecot serves. Nothing of the system's own mail
# configuration is read or changed, and nothing is relayed anywhere.
#
# Secure services, with a self-signed certificate made here for 127.0.0.1 and
# localhost (trusted by nothing but the tests that are given it):
#   POP3 with STLS on the plain port, POP3S (implicit TLS) on its own port;
#   the same two on 127.0.0.2 too, an address the certificate does not name;
#   on 127.0.0.3 the plain port only, offering no STLS;
#   SMTP submission requiring STARTTLS and a login (SASL through Dovecot),
#   and SMTPS (implicit TLS) requiring a login. The plain SMTP port offers
#   neither TLS nor a login.
# OAuth2 logins (XOAUTH2, OAUTHBEARER) besides the passwords, in POP3 and
# submission: Dovecot asks scripts/tokenservice.py, a small authorization
# server on 127.0.0.1 (HTTPS with the same certificate), whether a bearer
# token is good.
#
#   mailservers.sh start [ENVFILE]   start both (stops an earlier pair first)
#   mailservers.sh stop  [ENVFILE]   stop both by their process ids, remove the folder
#   mailservers.sh env   [ENVFILE]   print the KEY=VALUE file the tests read
#   mailservers.sh status [ENVFILE]  exit 0 when both answer
#
# ENVFILE defaults to $IW_MAIL_ENV, else /tmp/iwmail-<uid>.env.
# Exit status 77 means "cannot run here" (not installed, no root): the test
# suite skips on it. Any other failure exits 1 with the reason on stderr.
#
# Needs root (CI runs as root). A developer may run it with sudo, or let it
# call `sudo -n` itself; under sudo the Maildirs belong to the calling user so
# that the tests, running as that user, can read and write them.
set -uo pipefail

SKIP=77
DOMAIN=iw.test
# Known test users: name, password. Any other address at $DOMAIN is delivered
# too (to its own Maildir), it just cannot log in to POP3.
USERS=(me friend stranger bench spare)
password_of() { printf '%s-pw-7431' "$1"; }
# The app registration the token service knows.
OAUTH_CLIENT=iw-test-client
TOKEN_SERVICE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/tokenservice.py"

die() {
    echo "mailservers: $*" >&2
    exit 1
}
# Cannot run here: say why, and leave the reason where the tests look for
# the servers so that they skip with it.
skip() {
    echo "mailservers: SKIP: $*" >&2
    if [ "$cmd" = start ]; then
        { echo "IW_MAIL_UNAVAILABLE=$*" >"$envfile"; } 2>/dev/null
    fi
    exit "$SKIP"
}

POSTFIX_MASTER="$(postconf -d -h daemon_directory 2>/dev/null || echo /usr/lib/postfix/sbin)/master"

cmd=${1:-}
envfile=${2:-${IW_MAIL_ENV:-/tmp/iwmail-$(id -u).env}}
case "$envfile" in /*) ;; *) envfile="$PWD/$envfile" ;; esac

# Reads one key of an env file without sourcing it (it may be stale or foreign).
env_get() {
    sed -n "s/^$2=//p" "$1" 2>/dev/null | head -n 1
}

# Only a pid whose command line names the expected program and whose command
# line or environment names our folder is ours to signal: a stale env file must
# not make us kill an unrelated process that happens to reuse the number.
pid_is() {
    local pid=$1 what=$2 dir=$3
    [[ "$pid" =~ ^[0-9]+$ ]] && [ -n "$dir" ] || return 1
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' '\n' <"/proc/$pid/cmdline" | grep -q -- "$what" || return 1
    tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qF -- "$dir" && return 0
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qF -- "$dir"
}

# Stops server masters by pid: TERM to all, a bounded wait, then KILL. Both
# masters take their children down with them; the wait covers their groups.
# Arguments: pairs of pid and program, then the folder they must belong to.
stop_pids() {
    local dir=${!#} pids=() i pid alive
    while [ $# -ge 3 ]; do
        pid_is "$1" "$2" "$dir" && pids+=("$1")
        shift 2
    done
    [ ${#pids[@]} -gt 0 ] || return 0
    kill -TERM "${pids[@]}" 2>/dev/null
    for ((i = 0; i < 150; i++)); do
        alive=0
        for pid in "${pids[@]}"; do
            kill -0 -- "-$pid" 2>/dev/null && alive=1
            kill -0 "$pid" 2>/dev/null && alive=1
        done
        [ $alive -eq 1 ] || return 0
        sleep 0.1
    done
    echo "mailservers: servers ${pids[*]} did not stop in 15 s, killing them" >&2
    for pid in "${pids[@]}"; do
        kill -KILL -- "$pid" "-$pid" 2>/dev/null
    done
    return 0
}

do_stop() {
    [ -f "$envfile" ] || return 0
    local dir dpid ppid tpid
    dir=$(env_get "$envfile" IW_MAIL_DIR)
    dpid=$(env_get "$envfile" IW_MAIL_DOVECOT_PID)
    ppid=$(env_get "$envfile" IW_MAIL_POSTFIX_PID)
    tpid=$(env_get "$envfile" IW_MAIL_TOKEN_PID)
    stop_pids "$ppid" "$POSTFIX_MASTER" "$dpid" dovecot "$tpid" tokenservice.py "$dir"
    # Only ever remove a folder this script made.
    case "$dir" in
        /tmp/iwm.??????) rm -rf -- "$dir" ;;
    esac
    rm -f -- "$envfile"
}

# True when the port accepts a connection and greets with the given prefix.
greets() {
    local port=$1 prefix=$2 line
    [[ "$port" =~ ^[0-9]+$ ]] || return 1
    # A failed redirection of `exec` would end the script; a subshell's does not.
    line=$( (IFS= read -r -t 2 l <&3 && printf '%s' "$l") 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null ||
        return 1
    [[ "$line" == "$prefix"* ]]
}

# Waits at most 20 s for a server to greet on its port.
wait_greeting() {
    local port=$1 prefix=$2 i
    for ((i = 0; i < 200; i++)); do
        greets "$port" "$prefix" && return 0
        sleep 0.1
    done
    return 1
}

# A port nobody listens on, outside the kernel's ephemeral range so that
# outgoing connections do not take it between the check and the start.
free_port() {
    local i port
    for ((i = 0; i < 100; i++)); do
        port=$((20000 + RANDOM % 12000))
        if python3 -c 'import socket,sys
s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))' "$port" 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# The postfix command writes its complaints only to syslog or to a terminal;
# without a syslog they would be lost, so give it a terminal when we can.
pfx() {
    if command -v script >/dev/null 2>&1; then
        script -qec "postfix -c $D/pf/etc $1" /dev/null | tr -d '\r'
        return "${PIPESTATUS[0]}"
    fi
    postfix -c "$D/pf/etc" "$1"
}

show_log() {
    [ -s "$1" ] || return 0
    echo "---- last lines of $1 ----" >&2
    tail -n 20 "$1" >&2
}

do_start() {
    local need p
    for p in dovecot doveconf postfix postconf python3 openssl setsid; do
        command -v "$p" >/dev/null 2>&1 || need+=" $p"
    done
    [ -z "${need:-}" ] || skip "not installed:${need} (run scripts/install-deps.sh test)"
    [ -x "$POSTFIX_MASTER" ] ||
        skip "postfix's master program is missing (run scripts/install-deps.sh test)"

    local uid gid owner
    if [ -n "${SUDO_UID:-}" ] && [ "${SUDO_UID}" != 0 ]; then
        uid=$SUDO_UID
        gid=${SUDO_GID:-$(id -g "$uid")}
        owner=$(id -nu "$uid" 2>/dev/null || echo "$uid")
    else
        owner=iwmail
        if ! id -u "$owner" >/dev/null 2>&1; then
            useradd --system --user-group --no-create-home --home-dir /nonexistent \
                --shell /usr/sbin/nologin "$owner" ||
                die "cannot create the unprivileged mail user $owner"
        fi
        uid=$(id -u "$owner")
        gid=$(id -g "$owner")
    fi
    [ "$uid" != 0 ] || die "the Maildirs must not belong to root"
    for p in dovecot dovenull postfix; do
        id -u "$p" >/dev/null 2>&1 || die "system user $p is missing (broken dovecot/postfix install?)"
    done
    getent group postdrop >/dev/null || die "group postdrop is missing (broken postfix install?)"

    # Six different ports, each free when picked.
    local pop3 smtp pop3s subm smtps token
    local i name port taken=""
    for i in pop3 smtp pop3s subm smtps token; do
        case $i in
        pop3) name=POP3 ;;
        smtp) name=SMTP ;;
        *) name=$i ;;
        esac
        port=$(free_port) || die "no free port for $name"
        while [[ " $taken " == *" $port "* ]]; do
            port=$(free_port) || die "no free port for $name"
        done
        taken+=" $port"
        printf -v "$i" '%s' "$port"
    done

    # Unix socket paths (Dovecot's login sockets, Postfix's private/) must stay
    # well below 108 bytes, so the folder lives directly under /tmp.
    D=$(mktemp -d /tmp/iwm.XXXXXX) || die "cannot make a folder under /tmp"
    chmod 755 "$D"
    trap 'start_failed' EXIT

    mkdir -p "$D/mail/$DOMAIN" "$D/dc/run" "$D/dc/state" "$D/pf/etc" "$D/pf/data" "$D/pf/q" \
        "$D/tls" "$D/sasl"
    # A throwaway key: readable by Postfix's smtpd, which runs unprivileged.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
        -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
        -keyout "$D/tls/key.pem" -out "$D/tls/cert.pem" >"$D/tls/openssl.out" 2>&1 || {
        cat "$D/tls/openssl.out" >&2
        die "openssl cannot make the test certificate"
    }
    chmod 644 "$D/tls/key.pem" "$D/tls/cert.pem"
    chown "$uid:$gid" "$D/mail" "$D/mail/$DOMAIN"
    chown postfix "$D/pf/data"

    local LDA=/usr/lib/dovecot/dovecot-lda
    [ -x "$LDA" ] || skip "dovecot's delivery agent $LDA is missing (run scripts/install-deps.sh test)"
    touch "$D/lda.log" && chown "$uid:$gid" "$D/lda.log"
    local u users_file="$D/dc/users" list=""
    : >"$users_file"
    for u in "${USERS[@]}"; do
        printf '%s@%s:{PLAIN}%s:%s:%s::%s::\n' "$u" "$DOMAIN" "$(password_of "$u")" \
            "$uid" "$gid" "$D/mail/$DOMAIN/$u" >>"$users_file"
        mkdir -p "$D/mail/$DOMAIN/$u/Maildir/"{cur,new,tmp}
        chown -R "$uid:$gid" "$D/mail/$DOMAIN/$u"
        list+="${list:+,}$u"
    done
    chmod 644 "$users_file"

    cat >"$D/dc/dovecot.conf" <<EOF
# Throwaway configuration for the loopback test server; nothing else is read.
instance_name = iwm-${D##*.}
base_dir = $D/dc/run
state_dir = $D/dc/state
log_path = $D/dovecot.log
info_log_path = $D/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = yes
ssl_cert = <$D/tls/cert.pem
ssl_key = <$D/tls/key.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
auth_mechanisms = plain login xoauth2 oauthbearer
# A wrong password is answered within 0.5 s (the auth process's timer) instead of 2 s.
auth_failure_delay = 0
first_valid_uid = $uid
last_valid_uid = $uid
mail_location = maildir:~/Maildir
mail_fsync = never
pop3_uidl_format = %08Xu%08Xv
passdb {
  driver = passwd-file
  mechanisms = plain login
  args = scheme=PLAIN username_format=%u $users_file
}
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $D/dc/oauth2.conf.ext
}
userdb {
  driver = passwd-file
  args = username_format=%u $users_file
}
# Any other address of the domain gets delivered to a Maildir of its own.
# (auth_username_chars keeps "/" out of %n, so homes stay in the mail folder.)
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$D/mail/%d/%n allow_all_users=yes
}
postmaster_address = postmaster@$DOMAIN
protocol lda {
  log_path = $D/lda.log
  info_log_path = $D/lda.log
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1, 127.0.0.2, 127.0.0.3
    port = $pop3
  }
  inet_listener pop3s {
    address = 127.0.0.1, 127.0.0.2
    port = $pop3s
    ssl = yes
  }
}
# A plain port that offers no STLS, for clients that must then refuse to log in.
local 127.0.0.3 {
  protocol pop3 {
    ssl = no
  }
}
# Postfix's submission services ask Dovecot whether a login is good.
service auth {
  unix_listener $D/sasl/auth {
    mode = 0666
  }
}
# No penalty after a failed login: later logins from loopback stay fast.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
# The delivery agent runs as the mail user and reports to the stats service.
service stats {
  unix_listener stats-writer {
    mode = 0666
  }
}
EOF

    cat >"$D/dc/oauth2.conf.ext" <<EOF
introspection_mode = post
introspection_url = https://127.0.0.1:$token/introspect
force_introspection = yes
username_attribute = username
active_attribute = active
active_value = true
tls_ca_cert_file = $D/tls/cert.pem
EOF
    doveconf -c "$D/dc/dovecot.conf" -n >"$D/dc/checked.conf" 2>"$D/dc/check.err" || {
        cat "$D/dc/check.err" >&2
        die "dovecot rejects its configuration"
    }

    cat >"$D/pf/etc/main.cf" <<EOF
# Throwaway configuration for the loopback test server; nothing else is read.
compatibility_level = 3.6
queue_directory = $D/pf/q
data_directory = $D/pf/data
mail_owner = postfix
setgid_group = postdrop
syslog_name = postfix-iwm
maillog_file = $D/postfix.log
maillog_file_prefixes = $D
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mx.$DOMAIN
mydomain = $DOMAIN
myorigin = $DOMAIN
mydestination =
mynetworks = 127.0.0.0/8
relayhost =
# Anything not for the test domain is refused at RCPT time; should a message
# get queued for elsewhere all the same, it bounces instead of leaving.
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions =
default_transport = error:the loopback test server delivers nowhere else
relay_transport = error:the loopback test server delivers nowhere else
alias_maps =
alias_database =
local_recipient_maps =
virtual_mailbox_domains = $DOMAIN
# Dovecot's own delivery agent writes the Maildirs it serves, one per address.
virtual_mailbox_maps = static:ok
virtual_transport = iwlda
iwlda_destination_recipient_limit = 1
message_size_limit = 104857600
# Leave the tests' messages as they were sent.
local_header_rewrite_clients =
always_add_missing_headers = no
smtputf8_enable = no
biff = no
# Fast answers for a test server.
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
in_flow_delay = 0
smtpd_peername_lookup = no
smtpd_client_connection_rate_limit = 0
smtpd_banner = \$myhostname ESMTP loopback test server
# TLS and logins only where master.cf turns them on (submission, smtps).
smtpd_tls_cert_file = $D/tls/cert.pem
smtpd_tls_key_file = $D/tls/key.pem
smtpd_tls_security_level = none
smtpd_tls_loglevel = 1
smtpd_sasl_type = dovecot
smtpd_sasl_path = $D/sasl/auth
smtpd_sasl_auth_enable = no
EOF
    cat >"$D/pf/etc/master.cf" <<EOF
# service type  private unpriv  chroot  wakeup  maxproc command
127.0.0.1:$smtp inet n - n - - smtpd
127.0.0.1:$subm inet n - n - - smtpd
  -o line_length_limit=16384
  -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_tls_auth_only=yes
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$smtps inet n - n - - smtpd
  -o line_length_limit=16384
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
iwlda     unix  -       n       n       -       -       pipe
  flags=DR user=$owner argv=$LDA -c $D/dc/dovecot.conf -f \${sender} -d \${recipient}
EOF

    # The token service first: Dovecot asks it about every OAuth2 login.
    setsid python3 "$TOKEN_SERVICE" "$token" "$D/tls/cert.pem" "$D/tls/key.pem" "$OAUTH_CLIENT" \
        >"$D/tokenservice.log" 2>&1 </dev/null &
    TPID=$!
    local ok=0
    for ((i = 0; i < 100; i++)); do
        if python3 -c 'import socket,sys
socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' "$token" 2>/dev/null; then
            ok=1
            break
        fi
        sleep 0.1
    done
    [ $ok -eq 1 ] || {
        show_log "$D/tokenservice.log"
        die "the token service does not listen on 127.0.0.1:$token after 10 s"
    }

    # Dovecot first: it serves what Postfix delivers.
    dovecot -c "$D/dc/dovecot.conf" 2>"$D/dc/start.err" || {
        cat "$D/dc/start.err" >&2
        show_log "$D/dovecot.log"
        die "dovecot did not start"
    }
    wait_greeting "$pop3" "+OK" || {
        show_log "$D/dovecot.log"
        die "dovecot does not answer on 127.0.0.1:$pop3 after 20 s"
    }
    DPID=$(cat "$D/dc/run/master.pid" 2>/dev/null)
    pid_is "$DPID" dovecot "$D" || die "cannot find dovecot's process id"

    # "postfix start" checks the configuration and makes the queue folders.
    pfx start >"$D/pf/start.out" 2>&1 || {
        cat "$D/pf/start.out" >&2
        show_log "$D/postfix.log"
        die "postfix did not start"
    }
    wait_greeting "$smtp" "220" || {
        show_log "$D/postfix.log"
        die "postfix does not answer on 127.0.0.1:$smtp after 20 s"
    }
    PPID_=$(tr -d ' ' <"$D/pf/q/pid/master.pid" 2>/dev/null)
    pid_is "$PPID_" "$POSTFIX_MASTER" "$D" || die "cannot find postfix's process id"

    local tmp="$envfile.tmp.$$"
    {
        echo "IW_MAIL_DIR=$D"
        echo "IW_MAIL_HOST=127.0.0.1"
        echo "IW_MAIL_POP3_PORT=$pop3"
        echo "IW_MAIL_SMTP_PORT=$smtp"
        echo "IW_MAIL_POP3S_PORT=$pop3s"
        echo "IW_MAIL_SUBMISSION_PORT=$subm"
        echo "IW_MAIL_SMTPS_PORT=$smtps"
        # The certificate to trust (TlsCaFile), and a host it does not name.
        echo "IW_MAIL_CA_FILE=$D/tls/cert.pem"
        echo "IW_MAIL_OTHER_HOST=127.0.0.2"
        # The plain POP3 port there offers no STLS.
        echo "IW_MAIL_NO_STLS_HOST=127.0.0.3"
        echo "IW_MAIL_DOMAIN=$DOMAIN"
        echo "IW_MAIL_ROOT=$D/mail"
        echo "IW_MAIL_USERS=$list"
        for u in "${USERS[@]}"; do
            echo "IW_MAIL_PASSWORD_$u=$(password_of "$u")"
        done
        echo "IW_MAIL_UID=$uid"
        echo "IW_MAIL_GID=$gid"
        echo "IW_MAIL_OWNER=$owner"
        echo "IW_MAIL_DOVECOT_PID=$DPID"
        echo "IW_MAIL_TOKEN_PID=$TPID"
        echo "IW_MAIL_TOKEN_URL=https://127.0.0.1:$token"
        echo "IW_MAIL_OAUTH_CLIENT=$OAUTH_CLIENT"
        echo "IW_MAIL_POSTFIX_PID=$PPID_"
        echo "IW_MAIL_DOVECOT_LOG=$D/dovecot.log"
        echo "IW_MAIL_POSTFIX_LOG=$D/postfix.log"
        echo "IW_MAIL_LDA_LOG=$D/lda.log"
    } >"$tmp" || die "cannot write $envfile"
    chmod 644 "$tmp"
    [ -n "${SUDO_UID:-}" ] && chown "$SUDO_UID:$SUDO_GID" "$tmp"
    mv -f "$tmp" "$envfile" || die "cannot write $envfile"
    trap - EXIT
    echo "mailservers: POP3 127.0.0.1:$pop3 (POP3S $pop3s), SMTP 127.0.0.1:$smtp (submission $subm, SMTPS $smtps), Maildirs under $D/mail/$DOMAIN (users ${list//,/ }), env in $envfile"
}

# On any failed start: stop what did start and remove the folder.
start_failed() {
    local rc=$?
    trap - EXIT
    if [ -n "${D:-}" ]; then
        stop_pids "$(tr -d ' ' <"$D/pf/q/pid/master.pid" 2>/dev/null)" "$POSTFIX_MASTER" \
            "$(cat "$D/dc/run/master.pid" 2>/dev/null)" dovecot "${TPID:-}" tokenservice.py "$D"
    fi
    case "${D:-}" in /tmp/iwm.??????) rm -rf -- "$D" ;; esac
    exit "$rc"
}

# Not root: try sudo without a password, else this machine cannot run them.
need_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        exec sudo -n IW_MAIL_ENV="$envfile" "$0" "$cmd" "$envfile"
    fi
    if [ "$cmd" = start ]; then
        skip "needs root to start private dovecot/postfix (run as root, or allow sudo without a password)"
    fi
    die "needs root to $cmd the servers"
}

case "$cmd" in
    start)
        need_root
        do_stop
        do_start
        ;;
    stop)
        [ -f "$envfile" ] || exit 0
        # Only a skip's reason in it: nothing runs, nothing needs root.
        if [ -z "$(env_get "$envfile" IW_MAIL_DIR)" ]; then
            rm -f -- "$envfile"
            exit 0
        fi
        need_root
        do_stop
        ;;
    env)
        [ -f "$envfile" ] || die "not running ($envfile missing)"
        cat "$envfile"
        ;;
    status)
        [ -f "$envfile" ] || die "not running ($envfile missing)"
        greets "$(env_get "$envfile" IW_MAIL_POP3_PORT)" "+OK" || die "POP3 does not answer"
        greets "$(env_get "$envfile" IW_MAIL_SMTP_PORT)" "220" || die "SMTP does not answer"
        echo "mailservers: running"
        ;;
    *)
        echo "usage: $0 start|stop|env|status [ENVFILE]" >&2
        exit 2
        ;;
esac
