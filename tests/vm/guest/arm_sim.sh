#!/bin/sh
# The simulated arm joins vcan0 and answers motor frames typed with cansend,
# as candump shows: the type 2 motor 5 replies on identifier 0 with its
# number and, once enabled, status 1 in byte 0 (0x15); the type 4 motor 1
# replies on its own identifier.
group="simulated arm on vcan0"
status=0
pass() { echo "PASS: $group: $1"; }
fail() {
  echo "FAIL: $group: $1"
  status=1
}

kav_arm_sim --can vcan0 --duration 120 >/tmp/arm_sim.out 2>&1 &
sim=$!
tries=0
until grep -q '^can_name: vcan0$' /tmp/arm_sim.out; do
  tries=$((tries + 1))
  if [ $tries -gt 150 ] || ! kill -0 $sim 2>/dev/null; then break; fi
  sleep 0.1
done
if grep -q '^can_name: vcan0$' /tmp/arm_sim.out; then
  pass "kav_arm_sim --can vcan0 starts"
else
  fail "kav_arm_sim --can vcan0 did not start"
  sed 's/^/    /' /tmp/arm_sim.out
  kill $sim 2>/dev/null
  exit 1
fi

candump -L vcan0 >/tmp/arm_sim.candump &
dump=$!

# Sends a frame until candump shows a line matching the reply (candump may
# not be listening for the first ones).
exchange() {  # FRAME REPLY_PATTERN
  n=0
  while [ $n -lt 25 ]; do
    cansend vcan0 "$1"
    sleep 0.2
    grep -q "$2" /tmp/arm_sim.candump && return 0
    n=$((n + 1))
  done
  return 1
}

# Enable for the type 2 motor 5: feedback on identifier 0, byte 0 = 0x15.
if exchange 005#FFFFFFFFFFFFFFFC ' vcan0 000#15[0-9A-F]\{14\}$'; then
  pass "motor 5 answers its enable frame on identifier 0 with status 1"
else
  fail "no feedback 000#15... from motor 5"
fi
# A hybrid command with zero gains and zero torque for the type 4 motor 1.
if exchange 001#7FFF7FF000000000 ' vcan0 001#[0-9A-F]\{16\}$'; then
  pass "motor 1 answers a hybrid command on its own identifier"
else
  fail "no feedback 001#... from motor 1"
fi
# Frames for no motor get no answer.
lines_before=$(wc -l </tmp/arm_sim.candump)
cansend vcan0 003#0000000000000000
sleep 0.5
lines_after=$(wc -l </tmp/arm_sim.candump)
if [ $((lines_after - lines_before)) -eq 1 ]; then
  pass "a frame for identifier 3 (no motor) gets no answer"
else
  fail "identifier 3 produced $((lines_after - lines_before - 1)) extra frames"
fi

kill $dump
kill -TERM $sim
wait $sim
sim_status=$?
if [ $sim_status -eq 0 ] && grep -q 'stopped after [1-9][0-9]* frames received, [1-9][0-9]* sent' /tmp/arm_sim.out; then
  pass "kav_arm_sim stops on SIGTERM and counts the frames"
else
  fail "kav_arm_sim ended with $sim_status"
fi
echo "  candump of the run:"
sed 's/^/  | /' /tmp/arm_sim.candump
exit $status
