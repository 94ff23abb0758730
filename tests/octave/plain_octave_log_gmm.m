function [logP, R] = plain_octave_log_gmm (X, Mu, Sigma, Pi)
  % Log-densities and posteriors written in plain Octave, in the log domain,
  % one cluster at a time: the reference VelmoraLog is held to.
  [dim, n] = size (X);
  K = columns (Mu);
  Sigma = reshape (Sigma, dim, []);
  diagonal = columns (Sigma) == K;
  V = zeros (K, n);
  for k = 1:K
    if (diagonal)
      L = diag (sqrt (Sigma(:, k)));
    else
      L = chol (Sigma(:, (k-1)*dim+1 : k*dim), "lower");
    end
    Y = L \ (X - Mu(:, k));
    V(k, :) = log (Pi(k)) - sum (log (diag (L))) - 0.5 * dim * log (2*pi) - 0.5 * sum (Y .^ 2, 1);
  end
  top = max (V, [], 1);
  logP = top + log (sum (exp (V - top), 1));
  R = exp (V - logP);
end
