#!/usr/bin/env bash
# Runs one fuzz target from its seed corpus and prints one line of figures.
#   tests/fuzz/run.sh BINARY SEED_DIR WORK_DIR [libFuzzer flags...]
# e.g. -max_total_time=30 (seconds) or -runs=10000000 (inputs). New inputs go
# to WORK_DIR/corpus (the committed seeds are only read), findings to
# WORK_DIR/artifacts, libFuzzer's output to WORK_DIR/fuzz.log. Exits non-zero
# on a finding (crash, sanitizer report, failed property, leak, timeout).
set -euo pipefail
if (($# < 3)); then
  echo "usage: $0 BINARY SEED_DIR WORK_DIR [libFuzzer flags...]" >&2
  exit 2
fi
binary=$1 seeds=$2 work=$3
shift 3
name=$(basename "$binary")
mkdir -p "$work/corpus" "$work/artifacts"
log=$work/fuzz.log

flags=(-print_final_stats=1 -artifact_prefix="$work/artifacts/" -timeout=20)
case $name in
  fuzz_description)
    # The description parser prints a line for most broken inputs; libFuzzer
    # and the sanitizers still report on their own descriptor.
    # libFuzzer's search for leaks after an input that allocated more than it
    # freed costs four fifths of the time (the parser's own leaks, suppressed
    # below, set it off all the time): leaks are checked once at exit. Those
    # leaks (a few hundred bytes an input) stay until then, so ten million
    # inputs need more than libFuzzer's default 2 GB limit.
    flags+=(-close_fd_mask=3 -max_len=16384 -detect_leaks=0 -rss_limit_mb=8192)
    export LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan-urdfdom.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" ;;
  fuzz_facade)
    # The controller's threads allocate all the time, which would make
    # libFuzzer look for leaks after nearly every input; leaks are checked
    # once at exit, and the soak benchmark watches memory over an hour.
    flags+=(-detect_leaks=0 -max_len=4096) ;;
esac

status=0
"$binary" "${flags[@]}" "$@" "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?

stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
field() { sed -n "s/.* $1: \([^ ]*\).*/\1/p" <<<"$last"; }
runs=$(stat number_of_executed_units)
seconds=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
printf '%s: %s inputs in %s s (%s exec/s), cov %s, ft %s, corpus %s, peak rss %s MB: ' \
  "$name" "${runs:-?}" "${seconds:-?}" "$(stat average_exec_per_sec)" "$(field cov)" "$(field ft)" \
  "$(field corp)" "$(stat peak_rss_mb)"
if ((status == 0)); then
  echo "no finding"
else
  echo "FINDING (exit $status), log $log"
  grep -E 'ERROR|SUMMARY|fuzz_[a-z]+:|Test unit written|deadly signal' "$log" | head -20 >&2 || true
  tail -40 "$log" >&2
fi
exit "$status"
