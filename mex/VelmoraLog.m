% VELMORALOG  Log-density and posteriors of a Gaussian mixture, on the GPU.
%
%   logP = VelmoraLog(X, Mu, Sigma, Pi)
%   [logP, R] = VelmoraLog(X, Mu, Sigma, Pi)
%   [logP, R] = VelmoraLog(X, gm)
%
%   X      dim x num_data      data points, one per column (double or single;
%                              trailing dimensions count as points)
%   Mu     dim x num_clust     cluster centres, one per column
%   Sigma  dim x num_clust     diagonal covariances (one column of variances
%                              per cluster), or
%          dim x dim x num_clust (or dim x dim*num_clust) full covariances
%   Pi     1 x num_clust       mixture priors (a column works too)
%
%   logP   1 x num_data        logP(j) = log(sum_k Pi(k) * N(X(:,j) | Mu(:,k), Sigma_k))
%   R      num_clust x num_data  R(k,j), the posterior probability of cluster k
%                              for point j (each column sums to 1)
%
%   With a gmdistribution gm (of MATLAB or Octave's statistics package), or
%   a struct with its fields mu (K x d), Sigma and ComponentProportion,
%   points are rows of X (N x d), as in pdf(gm, X) and posterior(gm, X):
%   logP is N x 1, log(pdf(gm, X)), and R is N x K, posterior(gm, X). The
%   covariance form comes from the model's Sigma: d x d x K full, 1 x d x K
%   diagonal, d x d or 1 x d shared. X is read as it is, not transposed.
%
%   The arguments are those of Velmora, and so is the mode rule: num_clust
%   columns of Sigma mean diagonal covariances. Unlike Velmora's P, logP
%   does not underflow: with dim 800 it is finite where every density is 0.
%   Data of any size: X is evaluated in column chunks that fit the device's
%   free memory; a point's logP and R do not depend on the chunks, on the
%   other points of the call, or on how VelmoraLogParallel splits X (bit for
%   bit). Nothing is printed; the module stays loaded and keeps its device
%   and page-locked buffers between calls (clear VelmoraLog releases them).
%
%   Each point is evaluated against each cluster as d = x - mu first, then
%   whitened by the cluster's inverse Cholesky factor (or its inverse
%   standard deviations) and squared, so tight clusters far from each
%   other or from the origin lose nothing. logP is accurate to about
%   1e-12 x max(1, |logP|); R to about 1e-11 for points within some 1000
%   standard deviations of a centre, farther with an error that grows with
%   the square of the distance (about 4e-9 at 1e4 and 4e-7 at 1e5 standard
%   deviations: each cluster's term is that large, and rounded); each
%   column of R sums to 1 within a few ulps
%   (46 at 6000 clusters) however far the point lies from the centres.
%
%   Engines: the host engine (vector loops on panels of points, over the host's
%   cores) unless a GPU answers, or the one VELMORA_DEVICE names: host,
%   cuda (the CUDA build of the module), or cpu-device (the CPU device's
%   build, which runs the CUDA kernels on the CPU, to test them). Results
%   agree to rounding, not bit for bit, across engines; on one engine they
%   are the same bits whatever the threads and chunks. The
%   host engine's threads: OPENBLAS_NUM_THREADS, else OMP_NUM_THREADS, else
%   every core.
%
%   A point with a NaN coordinate gets logP NaN; one with an infinite
%   coordinate (and no NaN) gets -Inf, as its density is 0; the posteriors of
%   both are NaN. Other points are not affected.
%
%   Errors, with identifiers:
%     Velmora:usage       not 4 inputs (or X and a model), or more than 2
%                         outputs, or a model struct without its fields
%                         (or VELMORA_DEVICE names no engine)
%     Velmora:type        an input that is not double or single, or is
%                         sparse or complex
%     Velmora:dimensions  Mu, Sigma or Pi do not fit X and each other
%     Velmora:means       a centre with a NaN or infinite coordinate
%     Velmora:covariance  a variance that is not positive and finite, or a
%                         full covariance that holds NaN or Inf, is not
%                         symmetric (entries that differ by more than
%                         1e-10 x sqrt(Sigma(i,i) Sigma(j,j))) or is not
%                         positive definite (the message names the cluster)
%     Velmora:priors      a negative, NaN or infinite prior, or all zero
%     Velmora:memory      not even one column fits in the device's memory,
%                         logP and R would not fit in the host's memory,
%                         or page-locked host memory ran out
%     Velmora:device      no usable device, or the device failed; everything
%                         is released and the session goes on
%                         (or VELMORA_DEVICE names a device this build
%                         of the module lacks)
%     Velmora:interrupted Ctrl-C (in Octave), seen between panels of 256
%                         points (host engine) or chunks (GPU): nothing is
%                         returned; try catches it (rethrow it to stop)
%
%   Example (dim 800: every density underflows, logP does not):
%     X = randn(800, 1000); Mu = zeros(800, 2); Mu(:, 2) = 0.5;
%     logP = VelmoraLog(X, Mu, ones(800, 2), [0.5 0.5]);
%     [logP, R] = VelmoraLog(X, Mu, ones(800, 2), [0.5 0.5]);  % with posteriors
%
%   See also Velmora, VelmoraLogParallel (several GPUs or machines).
