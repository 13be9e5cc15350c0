#!/bin/bash
# Interrupts runs at random moments with SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXCPU
# and SIGUSR1 (a batch scheduler's warning): each
# must end by its signal (status 128 + N) or finish normally, and leave no
# hidden temporary behind, whatever it was writing at the time.
# Usage: check_interrupted_runs.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
command=("$build/gorva" --in data.txt --out r.txt --save_all 1 --top 40000 --threads 1)
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# The signals land at random moments of a run, so the run must last long
# enough on this machine (and build) to be caught: grow the data until an
# uninterrupted run takes at least 200 ms, and draw moments within its span.
markers=300
while :; do
  "$build/gorva-simulate" --out data.txt --markers "$markers" --samples 60 > /dev/null || exit 1
  start=$(now_ms)
  "${command[@]}" > /dev/null 2>&1 || exit 1
  span=$(( $(now_ms) - start ))
  [ "$span" -ge 200 ] || [ "$markers" -ge 20000 ] && break
  markers=$(( markers * 2 ))
done
rm -f r.txt*
set -m  # background runs in their own process group, so SIGINT is not ignored there
failures=0
interrupted=0
for signal in INT TERM HUP PIPE XCPU USR1; do
  number=$(kill -l "$signal")
  for attempt in 1 2 3 4; do
    "${command[@]}" > /dev/null 2>&1 &
    pid=$!
    delay=$(( RANDOM % span ))
    sleep "$(( delay / 1000 )).$(printf '%03d' $(( delay % 1000 )))"
    kill -s "$signal" "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
    status=$?
    left=$(ls -A | grep -c '^\..*\.tmp\.')
    [ "$status" -ne 0 ] && interrupted=$(( interrupted + 1 ))
    if { [ "$status" -ne 0 ] && [ "$status" -ne $(( 128 + number )) ]; } || [ "$left" -ne 0 ]; then
      echo "SIG$signal, attempt $attempt: status $status, temporaries left: $(ls -A | grep '^\.' | tr '\n' ' ')"
      failures=$(( failures + 1 ))
      rm -f .*.tmp.*
    fi
  done
done
echo "$interrupted of 24 runs interrupted"
if [ "$interrupted" -eq 0 ]; then
  echo "no run was interrupted: the runs ended before any signal"
  exit 1
fi
echo "$(( 24 - failures )) passed, $failures failed"
[ "$failures" -eq 0 ]
