#!/usr/bin/env bash
# Shows that the machine runner fails when it must: a FAIL line, a guest
# script ending with a non-zero status, a script overrunning its time limit,
# no PASS line at all, a machine that does not power off in time, and
# arguments it cannot use.
#   runner_selftest.sh RUNNER WORK_DIR CACHE_DIR
set -euo pipefail
RUNNER=$1
WORK=$2
CACHE=$3
GUEST=$WORK/guest
mkdir -p "$GUEST"
status=0

cat >"$GUEST/reports-fail.sh" <<'EOF'
#!/bin/sh
echo "FAIL: selftest: a check that failed"
EOF
cat >"$GUEST/exits-3.sh" <<'EOF'
#!/bin/sh
exit 3
EOF
cat >"$GUEST/overruns.sh" <<'EOF'
#!/bin/sh
sleep 600
EOF

# expect_failure DESCRIPTION EXPECTED_MESSAGES RUNNER_ARGS...
# EXPECTED_MESSAGES holds one message per line that the runner must print.
expect_failure() {
  local what=$1 expected=$2 output code=0
  shift 2
  output=$(bash "$RUNNER" --cache-dir "$CACHE" "$@" 2>&1) || code=$?
  if ((code == 0)); then
    echo "FAIL: the runner passed $what"
    echo "$output" | tail -n 20
    status=1
    return
  fi
  while IFS= read -r message; do
    if ! grep -qF -- "$message" <<<"$output"; then
      echo "FAIL: $what: the runner did not say \"$message\""
      echo "$output" | tail -n 20
      status=1
      return
    fi
  done <<<"$expected"
  echo "PASS: the runner fails $what"
}

expect_failure "a machine whose scripts report FAIL, exit 3 and overrun" \
  "1 checks reported FAIL
no check reported PASS
guest script 02-exits-3.sh ended with exit=3
guest script 03-overruns.sh ended with exit=143" \
  --work-dir "$WORK/scripts" --script-time-limit 3 \
  --guest-script "$GUEST/reports-fail.sh" --guest-script "$GUEST/exits-3.sh" --guest-script "$GUEST/overruns.sh"

expect_failure "a machine that does not power off in time" \
  "the machine did not power off within 15 s
guest script 01-overruns.sh did not run to its end" \
  --work-dir "$WORK/hang" --time-limit 15 --guest-script "$GUEST/overruns.sh"

expect_failure "a program that was not built" \
  "program $WORK/no-such-program is missing or not executable" \
  --work-dir "$WORK/missing" --guest-script "$GUEST/exits-3.sh" --program "$WORK/no-such-program"

expect_failure "a data file that is missing" \
  "data file $WORK/no-such-file is missing" \
  --work-dir "$WORK/missing" --guest-script "$GUEST/exits-3.sh" --data "$WORK/no-such-file"

expect_failure "a machine without processors" \
  "--cpus must be a whole number from 1" \
  --work-dir "$WORK/missing" --guest-script "$GUEST/exits-3.sh" --cpus 0

exit $status
