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
%   Errors raised (Octave puts "Velmora: " before each):
%     the usage text        wrong number of inputs or outputs, or an input
%                           that is not double
%     "X, Mu, Sigma and Pi must be real, full (not sparse) double arrays."
%                           a sparse or complex input
%     "Problem with constant memory!"
%                           no usable CUDA device (the CUDA build only)
%     "Every dimension must be below 2^31 (2147483648)."
%                           a row or column count too large for the device
%     "Invalid dimensions"  Mu, Sigma or Pi do not fit X and each other
%
%   Reported on the console, with P all zero:
%     "Error, the data does not fit in GPU memory: ..."
%                           the run needs more than the device's free memory
%     "Error, the data is too large for the device: an operand of N elements,
%      at most 2147483647 allowed"
%                           X, Mu or Sigma holds 2^31 or more doubles
%     "Error occured allocating memory"
%                           device or host memory could not be allocated
%     "Error querying the device for free memory!"
%     "Error, the data could not be copied to the device"
%     "Error, the results could not be copied from the device"
%                           a copy between host and device failed
%   A full covariance that is not positive definite prints "Cholesky failed"
%   and gives NaN densities for that cluster, so NaN in every P (on the CPU
%   device not where its prior is 0: its BLAS then skips the cluster; a
%   GPU's cuBLAS may too);
%   problems met during the run are
%   listed after "THE FOLLOWING ERRORS OCCURED:".
%
%   Example (3 dimensions, 2 clusters: Sigma's 2 columns make it diagonal):
%     X = randn(3, 1000); Mu = [0 1; 0 1; 0 1]; Sigma = [1 2; 1 2; 1 2];
%     P = Velmora(X, Mu, Sigma, [0.5 0.5]);
