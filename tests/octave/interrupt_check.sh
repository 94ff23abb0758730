#!/usr/bin/env bash
# Ctrl-C during a fit that would run for years (a billion replicates) must
# end it with Velmora:interrupted within seconds, and leave the session
# running: without a look at Octave's pending interrupt, only killing
# Octave, and the session's work with it, ended the call.
set -uo pipefail
octave=$1 mexdir=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$octave" --norc --no-history --quiet --eval "
  addpath('$mexdir'); X = randn(2, 400);
  VelmoraFit(X, 2, 'MaxIter', 1);  % loaded before the interrupt can come
  fclose(fopen('$dir/started', 'w'));
  try
    VelmoraFit(X, 2, 'Replicates', 1e9, 'MaxIter', 1);
    disp('the fit returned');
  catch e
    printf('%s: %s\n', e.identifier, e.message);
  end
  model = VelmoraFit(X, 2, 'MaxIter', 2);
  printf('the session goes on: a fit of %d clusters\n', columns(model.Mu));" > "$dir/out" 2>&1 &
pid=$!
for _ in $(seq 600); do [ -e "$dir/started" ] && break; sleep 0.1; done
sleep 1
kill -INT "$pid"
for _ in $(seq 600); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2> /dev/null; then
  kill -KILL "$pid"
  echo "the fit ran on for a minute after Ctrl-C"
  cat "$dir/out"
  exit 1
fi
cat "$dir/out"
grep -Eq "^Velmora:interrupted: (VelmoraFit: )?The fit was interrupted (at the start|at iteration 1) of replicate [0-9]+ of 1000000000; it returns nothing.$" "$dir/out" &&
  grep -q "^the session goes on: a fit of 2 clusters$" "$dir/out"
