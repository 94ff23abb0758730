#!/usr/bin/env bash
# Ctrl-C during a call that would run for years (a fit of a billion
# replicates, or of a million iterations over workers), or for many seconds (an evaluation of 1e6 points under
# 20000 clusters, about 30 s on two cores), must end it with
# Velmora:interrupted within seconds and leave the session running:
# without a look at Octave's pending interrupt, only killing Octave, and
# the session's work with it, ended the call.
set -uo pipefail
octave=$1 mexdir=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# interrupted NAME SETUP CALL AFTER EXPECTED: runs SETUP, then CALL, sends
# SIGINT a second into CALL, and wants EXPECTED (a regular expression)
# printed from the error and the line AFTER prints.
interrupted() {
  local name=$1 setup=$2 call=$3 after=$4 expected=$5
  rm -f "$dir/started"
  # Two threads, so that the evaluation lasts on a host of many cores too.
  OPENBLAS_NUM_THREADS=2 "$octave" --norc --no-history --quiet --eval "
    addpath('$mexdir');
    $setup
    fclose(fopen('$dir/started', 'w'));
    try
      $call;
      disp('the call returned');
    catch e
      printf('%s: %s\n', e.identifier, e.message);
    end
    $after" > "$dir/out" 2>&1 &
  local pid=$!
  for _ in $(seq 600); do [ -e "$dir/started" ] && break; sleep 0.1; done
  sleep 1
  kill -INT "$pid"
  for _ in $(seq 600); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2> /dev/null; then
    kill -KILL "$pid"
    echo "$name: the call ran on for a minute after Ctrl-C"
    cat "$dir/out"
    return 1
  fi
  echo "$name:"
  cat "$dir/out"
  grep -Eq "$expected" "$dir/out" && grep -q "^the session goes on" "$dir/out"
}

status=0
interrupted fit "X = randn(2, 400);
    VelmoraFit(X, 2, 'MaxIter', 1);  % loaded before the interrupt can come" \
  "VelmoraFit(X, 2, 'Replicates', 1e9, 'MaxIter', 1)" \
  "model = VelmoraFit(X, 2, 'MaxIter', 2);
    printf('the session goes on: a fit of %d clusters\n', columns(model.Mu));" \
  "^Velmora:interrupted: (VelmoraFit: )?The fit was interrupted (at the start|at iteration 1) of replicate [0-9]+ of 1000000000; it returns nothing.$" ||
  status=1
interrupted evaluation "X = randn(1, 1e6); K = 20000;
    Mu = linspace(-3, 3, K); Sigma = ones(1, K); Pi = ones(1, K) / K;
    VelmoraLog(X(1:10), Mu, Sigma, Pi);" \
  "logP = VelmoraLog(X, Mu, Sigma, Pi)" \
  "logP = VelmoraLog(X(1:3), Mu, Sigma, Pi);
    printf('the session goes on: %d values\n', numel(logP));" \
  "^Velmora:interrupted: (VelmoraLog: )?The evaluation was interrupted; it returns nothing.$" ||
  status=1
# A fit over workers in this session: the Ctrl-C lands in a block's pass,
# or in the exchange's own code between passes, where Octave acted on it
# and no try caught it.
interrupted "parallel fit" "X = randn(8, 2e5);
    VelmoraFitParallel(X(:, 1:2000), 2, 2, 'MaxIter', 1);" \
  "VelmoraFitParallel(X, 4, 3, 'MaxIter', 1e6, 'TolFun', 0)" \
  "model = VelmoraFitParallel(X(:, 1:5000), 2, 2, 'MaxIter', 2);
    if (~mislocked('velmora_fit_block'))  % every block's session closed
      printf('the session goes on: a fit of %d clusters\n', columns(model.Mu));
    end" \
  "^Velmora:interrupted: ([A-Za-z_]+: )?The fit was interrupted at iteration [0-9]+ of replicate 1 of 1; it returns nothing.$" ||
  status=1
exit $status
