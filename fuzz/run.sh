#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given number of
# seconds on its seed corpus (fuzz/corpus/<target>, kept in the repository).
# New inputs gather in $BUILD/corpus/<target>; a failing input is written to
# $BUILD/artifacts/<target>/ and makes the script fail.
#   fuzz/run.sh [SECONDS] [TARGET...]     (default 30 seconds, every target)
set -uo pipefail

seconds="${1:-30}"
shift || true
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${FUZZ_BUILD:-$root/build-fuzz}"
jobs="${JOBS:-2}"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(mailcontent strings settings quarantine pop3 smtp authresults addressbook)

gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DIW_FUZZ=ON -DIW_BUILD_UI=OFF -DIW_BUILD_TESTS=OFF >/dev/null || exit 1
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}" || exit 1

# Each target makes its throwaway program folder under here.
export TMPDIR="$build/tmp"
rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    artifacts="$build/artifacts/$t"
    mkdir -p "$work" "$artifacts"
    echo "== fuzz_$t for ${seconds}s"
    # -timeout: a hang in the client under test shows as a failure, not as a slow run.
    # A fixed seed makes the test command's short runs repeat themselves;
    # FUZZ_SEED=0 lets libFuzzer choose one.
    if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" -timeout=30 \
        -rss_limit_mb=2048 \
        -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "$here/corpus/$t" >"$build/fuzz_$t.log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz_$t.log" | tr '\n' ' '
        echo
    else
        failed+=("$t")
        grep -a -E 'FUZZ_CHECK|ERROR|SUMMARY|Test unit written' "$build/fuzz_$t.log" | head -20
        echo "fuzz_$t FAILED; log in $build/fuzz_$t.log"
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "failing fuzz targets: ${failed[*]}"
    exit 1
fi
echo "every fuzz target ran ${seconds}s without a failure"
