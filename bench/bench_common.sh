# Sourced by the mail benchmarks after they set root and build:
#   source "$root/bench/bench_common.sh" TARGET
# Builds TARGET in $build (Release, no UI), starts private loopback servers in
# a temporary folder (stopped and removed on exit) and gives the caller
# work, envfile, get KEY (a value of the servers' env file), host, port and
# domain.

work_log=$(mktemp /tmp/iwbench-build.XXXXXX)
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DIW_BUILD_BENCH=ON \
    -DIW_BUILD_UI=OFF >"$work_log" || { cat "$work_log"; exit 1; }
cmake --build "$build" -j 2 --target "$1" >"$work_log" || { cat "$work_log"; exit 1; }

rm -f "$work_log"
work=$(mktemp -d /tmp/iwbench.XXXXXX)
envfile=$work/servers.env
trap '"$root/scripts/mailservers.sh" stop "$envfile"; rm -rf "$work"' EXIT
"$root/scripts/mailservers.sh" start "$envfile"
get() { sed -n "s/^$1=//p" "$envfile"; }
host=$(get IW_MAIL_HOST)
port=$(get IW_MAIL_POP3_PORT)
domain=$(get IW_MAIL_DOMAIN)
