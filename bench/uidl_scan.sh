#!/usr/bin/env bash
# A scan of 4,000 messages with nothing new, on the loopback Dovecot, in one run:
#  - recognised by unique ids (UIDL and LIST) against the same engine fetching
#    and matching every message by content (at most 0.1x);
#  - against Python's poplib logging in, sending UIDL and LIST and QUIT
#    (at most 1.5x);
#  - the same two comparisons between whole processes, as a timer starts them:
#    inboxwarden-scan against inboxwarden-scan --full (at most 0.1x) and
#    against a Python process sending UIDL and LIST (at most 1.5x);
#  - for the reading, the scanner process's processor time and the cost of a
#    process that only starts and ends (--help).
# Builds the benchmark in build-bench/ (Release), starts private servers,
# fills a mailbox, runs the rounds, prints the ratios of the medians and exits
# 1 when a limit is exceeded.
#   BENCH_REPETITIONS (default 7) rounds; BENCH_COUNT (default 4000) messages.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
reps=${BENCH_REPETITIONS:-7}
count=${BENCH_COUNT:-4000}
user=bench

source "$root/bench/bench_common.sh" uidl_scan
cmake --build "$build" -j 2 --target inboxwarden-scan >/dev/null
password=$(get IW_MAIL_PASSWORD_$user)

echo "Filling the mailbox with $count messages"
python3 "$root/bench/fill_mailboxes.py" "$envfile" spare 0 "$user" "$count"
# A first session lets Dovecot index the messages, so that no client pays for it.
python3 "$root/bench/pop3_uidl_client.py" "$host" "$port" "$user@$domain" "$password" 1 >/dev/null

mkdir -p "$work/home"
echo "Running $reps rounds of: engine scan by unique ids, engine scan by content, Python poplib"
for ((round = 1; round <= reps; round++)); do
    # The engine's program folder is kept: its first scan, not timed, learns
    # the mailbox once; later rounds find it in the database.
    IW_MAIL_ENV=$envfile IW_BENCH_USER=$user IW_BENCH_COUNT=$count INBOXWARDEN_HOME=$work/home/ \
        "$build/bench/uidl_scan" --benchmark_min_time=0.001 \
        --benchmark_out="$work/cpp.$round.json" --benchmark_out_format=json \
        >"$work/cpp.log" 2>&1 || { cat "$work/cpp.log"; exit 1; }
    python3 "$root/bench/pop3_uidl_client.py" "$host" "$port" "$user@$domain" "$password" 3 \
        >"$work/py.$round.json"
    # Whole processes, each started and awaited as a timer would.
    INBOXWARDEN_HOME=$work/home/ python3 - "$work/proc.$round.json" "$build/inboxwarden-scan" \
        "$root/bench/pop3_uidl_client.py" "$host" "$port" "$user@$domain" "$password" <<'PY'
import json, resource, subprocess, sys, time
out, scan, client, host, port, user, password = sys.argv[1:8]
cpu = {}
def timed(command, name=None):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit("%s exited with %d" % (" ".join(command), done.returncode))
    if name:
        cpu[name] = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return seconds
times = {"scan": timed([scan, "--readonly"], "scan_cpu"),
         "full": timed([scan, "--readonly", "--full"]),
         "python": timed([sys.executable, client, host, port, user, password, "1"]),
         # Loading the libraries, starting and ending, with no scan at all.
         "start": timed([scan, "--help"])}
times.update(cpu)
json.dump(times, open(out, "w"))
PY
done

python3 - "$work" "$reps" "$count" <<'PY'
import json, statistics, sys
work, reps, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
times = {}
for r in range(1, reps + 1):
    for b in json.load(open("%s/cpp.%d.json" % (work, r)))["benchmarks"]:
        if b.get("error_occurred"):
            sys.exit("%s: %s" % (b["name"], b.get("error_message")))
        times.setdefault(b["run_name"].split("/")[0], []).append(b["real_time"] / 1000.0)
    times.setdefault("python", []).extend(json.load(open("%s/py.%d.json" % (work, r)))["passes"])
m = {name: statistics.median(values) for name, values in times.items()}
uidl, content, py = m["BM_ScanNothingNew_Uidl"], m["BM_ScanNothingNew_Content"], m["python"]
print()
print("Scan, 0 new of %d: by unique ids %.4f s, by content %.3f s: ratio %.3f (limit 0.1)"
      % (count, uidl, content, uidl / content))
print("Scan by unique ids %.4f s, Python poplib UIDL+LIST %.4f s: ratio %.2f (limit 1.5)"
      % (uidl, py, uidl / py))
proc = {}
for r in range(1, reps + 1):
    for name, value in json.load(open("%s/proc.%d.json" % (work, r))).items():
        proc.setdefault(name, []).append(value)
p = {name: statistics.median(values) for name, values in proc.items()}
print("Processes: inboxwarden-scan %.4f s, inboxwarden-scan --full %.3f s: ratio %.3f (limit 0.1)"
      % (p["scan"], p["full"], p["scan"] / p["full"]))
print("Processes: inboxwarden-scan %.4f s, Python poplib UIDL+LIST %.4f s: ratio %.2f (limit 1.5)"
      % (p["scan"], p["python"], p["scan"] / p["python"]))
# Where the process's time goes: its own processor time, and what a process
# that only starts and ends costs; the rest of its wall time is waiting,
# mostly on the server.
print("inboxwarden-scan: processor %.4f s of its %.4f s; starting and ending alone (--help) %.4f s"
      % (p["scan_cpu"], p["scan"], p["start"]))
sys.exit(0 if uidl / content <= 0.1 and uidl / py <= 1.5 and p["scan"] / p["full"] <= 0.1
         and p["scan"] / p["python"] <= 1.5 else 1)
PY
