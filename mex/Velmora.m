% VELMORA  Gaussian mixture density of every data point, on the GPU.
%
%   P = Velmora(X, Mu, Sigma, Pi)
%
%   X      dim x num_data      data points, one per column
%   Mu     dim x num_clust     cluster centres, one per column
%   Sigma  dim x num_clust     diagonal covariances (one column of variances
%                              per cluster), or
%          dim x dim*num_clust full covariances side by side, or
%          dim x dim x num_clust
%   Pi     1 x num_clust       mixture priors (a num_clust x 1 column works too)
%
%   P      1 x num_data        P(j) = sum_k Pi(k) * N(X(:,j) | Mu(:,k), Sigma_k)
%
%   The mode follows from the shape of Sigma: num_clust columns mean diagonal
%   covariances, anything else full ones. All inputs must be real, full
%   double arrays. Everything is computed in double precision; inverses and
%   log-determinants on the host, distances and densities on the device.
%
%   The module prints the device's memory, the memory the run needs, any
%   errors collected during the run and the time taken.
%
%   Errors raised:
%     the usage text        wrong number of inputs or outputs, or an input
%                           that is not double
%     "Problem with constant memory!"
%                           no usable CUDA device (the CUDA build only)
%     "Invalid dimensions"  Mu, Sigma or Pi do not fit X and each other
%
%   Reported on the console, with P all zero: a run that does not fit in the
%   device's memory, or whose device memory cannot be allocated. A full
%   covariance that is not positive definite prints "Cholesky failed" and
%   gives NaN densities for that cluster.
%
%   Example:
%     X = randn(2, 1000); Mu = [0 1; 0 1]; Sigma = ones(2, 2); Pi = [0.5 0.5];
%     P = Velmora(X, Mu, Sigma, Pi);
