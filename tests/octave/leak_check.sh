#!/usr/bin/env bash
# Host memory of an Octave session must not grow with calls of the MEX
# files: Valgrind's lost-memory totals after 1 round and after 50 rounds of
# calls (a round: two runs and one refused call of Velmora, the same of
# VelmoraLog, and a fit, a refused fit and a fit that fails on the device
# with VelmoraFit) must be the same. Octave itself loses a little at exit, the
# same in both.
set -euo pipefail
mexdir=$1
lost() {
  valgrind --leak-check=full octave-cli --norc --no-history --quiet --eval "
    addpath('$mexdir');
    X = randn(3, 50); Mu = randn(3, 2); S = rand(3, 2) + 0.5; F = [eye(3) 2*eye(3)]; Pi = [0.3 0.7];
    for i = 1:$1
      evalc('P = Velmora(X, Mu, S, Pi);'); evalc('P = Velmora(X, Mu, F, Pi);');
      try, Velmora(X, Mu, S); catch, end
      L = VelmoraLog(X, Mu, S, Pi); [L, R] = VelmoraLog(X, Mu, F, Pi);
      try, VelmoraLog(X, Mu, -S, Pi); catch, end
      M = VelmoraFit(X, 2, 'MaxIter', 2);
      try, VelmoraFit(X, 2, 'MaxIter', 0); catch, end
      try, VelmoraFit(X, 2, 'RegularizationValue', 0, 'Start', ...
                      struct('Mu', [Mu(:, 1), X(:, 1)], 'Sigma', cat(3, eye(3), 1e-12 * eye(3)), 'Pi', Pi)); catch, end
    end" 2>&1 | grep -E "(definitely|indirectly) lost:" | sed 's/^==[0-9]*== *//'
}
one=$(lost 1)
fifty=$(lost 50)
printf 'after 1 round:\n%s\nafter 50 rounds (450 calls):\n%s\n' "$one" "$fifty"
[ "$one" == "$fifty" ] || { echo "host memory lost grows with calls"; exit 1; }
