#!/usr/bin/env bash
# The POP3 client's speed against the loopback Dovecot, in one run:
#  - RETR of a 20 MB message: CPOP3 against a plain socket loop (at most 1.5x);
#  - a TOP-and-LIST pass over 2,000 messages: CPOP3 against Python's poplib
#    (at most 1.3x), with a plain C++ socket loop for reference;
#  - a scan by the engine of the same 2,000 messages when none is new against
#    the plain socket loop sending that scan's commands, login to QUIT
#    (at most 1.5x);
#  - the same scan over POP3S (implicit TLS) against the scan over plain POP3
#    (at most 1.3x), both after a first scan of the process, as a program
#    scanning on a timer runs them; the first POP3S scan, which also reads the
#    system's trusted certificates, is printed beside it.
# Builds the benchmark in build-bench/ (Release), starts private servers (as
# scripts/mailservers.sh does for the tests), fills two mailboxes, runs both
# clients, prints the ratios and exits 1 when a limit is exceeded.
#   BENCH_REPETITIONS (default 7) rounds; the medians of the rounds are compared.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# The same build folder and options as `make bench`.
build=${BENCH_BUILD:-$root/build-bench}
reps=${BENCH_REPETITIONS:-7}
large_user=spare
many_user=bench
many_count=2000

source "$root/bench/bench_common.sh" pop3_vs_plain

echo "Filling the mailboxes: one 20 MB message, $many_count ordinary ones"
python3 "$root/bench/fill_mailboxes.py" "$envfile" "$large_user" 20 "$many_user" "$many_count"
# A first session lets Dovecot index the new messages, so that no client pays for it.
python3 - "$host" "$port" "$domain" "$(get IW_MAIL_PASSWORD_$large_user)" \
    "$(get IW_MAIL_PASSWORD_$many_user)" "$large_user" "$many_user" <<'PY'
import poplib, sys
host, port, domain = sys.argv[1], int(sys.argv[2]), sys.argv[3]
for user, password in ((sys.argv[6], sys.argv[4]), (sys.argv[7], sys.argv[5])):
    pop = poplib.POP3(host, port, timeout=30)
    pop.user("%s@%s" % (user, domain))
    pop.pass_(password)
    print("  %s@%s: %d messages, %d bytes" % ((user, domain) + pop.stat()))
    pop.quit()
PY

# Rounds that alternate the clients, so that the load of a shared machine
# falls on all of them alike; each round is one session of each client.
echo "Running $reps rounds of: CPOP3 and plain C++ client (RETR, TOP+LIST), Python poplib (TOP+LIST)"
for ((round = 1; round <= reps; round++)); do
    IW_MAIL_ENV=$envfile IW_BENCH_LARGE_USER=$large_user IW_BENCH_MANY_USER=$many_user \
        IW_BENCH_MANY_COUNT=$many_count INBOXWARDEN_HOME=$work/ \
        "$build/bench/pop3_vs_plain" --benchmark_min_time=0.001 \
        --benchmark_out="$work/cpp.$round.json" --benchmark_out_format=json \
        >"$work/cpp.log" 2>&1 || { cat "$work/cpp.log"; exit 1; }
    python3 "$root/bench/pop3_minimal_client.py" "$host" "$port" "$many_user@$domain" \
        "$(get IW_MAIL_PASSWORD_$many_user)" "$many_count" 1 >"$work/py.$round.json"
done

python3 - "$work" "$reps" <<'PY'
import json, statistics, sys
work, reps = sys.argv[1], int(sys.argv[2])
times = {}
for r in range(1, reps + 1):
    for b in json.load(open("%s/cpp.%d.json" % (work, r)))["benchmarks"]:
        # real_time is in milliseconds, per iteration
        times.setdefault(b["run_name"].split("/")[0], []).append(b["real_time"] / 1000.0)
        if "first_scan_s" in b:
            times.setdefault("tls_first", []).append(b["first_scan_s"])
    times.setdefault("python", []).extend(json.load(open("%s/py.%d.json" % (work, r)))["passes"])
medians = {name: statistics.median(values) for name, values in times.items()}
py = medians["python"]
retr = medians["BM_Retr20MB_CPOP3"] / medians["BM_Retr20MB_Plain"]
top = medians["BM_TopList2000_CPOP3"] / py
top_plain = medians["BM_TopList2000_CPOP3"] / medians["BM_TopList2000_Plain"]
print()
print("RETR 20 MB:      CPOP3 %.3f s, plain socket loop %.3f s: ratio %.2f (limit 1.5)"
      % (medians["BM_Retr20MB_CPOP3"], medians["BM_Retr20MB_Plain"], retr))
print("TOP+LIST x2000:  CPOP3 %.3f s, Python poplib %.3f s: ratio %.2f (limit 1.3)"
      % (medians["BM_TopList2000_CPOP3"], py, top))
print("                 (plain C++ socket loop %.3f s: ratio %.2f)"
      % (medians["BM_TopList2000_Plain"], top_plain))
scan = medians["BM_ScanNothingNew2000_Engine"] / medians["BM_ScanNothingNew2000_Plain"]
print("Scan, 0 new of 2000: engine %.3f s, plain socket loop %.3f s: ratio %.2f (limit 1.5)"
      % (medians["BM_ScanNothingNew2000_Engine"], medians["BM_ScanNothingNew2000_Plain"], scan))
tls = medians["BM_ScanNothingNew2000_EngineTls"] / medians["BM_ScanNothingNew2000_Engine"]
print("Scan over POP3S: engine %.3f s, over plain POP3 %.3f s: ratio %.2f (limit 1.3)"
      % (medians["BM_ScanNothingNew2000_EngineTls"], medians["BM_ScanNothingNew2000_Engine"], tls))
print("                 (the first POP3S scan of a process, which also reads the trusted")
print("                 certificates: %.3f s, ratio %.2f; not limited)"
      % (medians["tls_first"], medians["tls_first"] / medians["BM_ScanNothingNew2000_Engine"]))
sys.exit(0 if retr <= 1.5 and top <= 1.3 and scan <= 1.5 and tls <= 1.3 else 1)
PY
