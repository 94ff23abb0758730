function S = random_covariances (dim, K, ridge)
  % K random symmetric positive-definite dim x dim covariances, stacked as
  % dim x dim x K: B*B'/dim + ridge*I, well conditioned at any dim.
  S = zeros (dim, dim, K);
  for k = 1:K
    B = randn (dim);
    S(:, :, k) = B * B' / dim + ridge * eye (dim);
  end
end
