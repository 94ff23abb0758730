% VELMORAFIT  Fit a Gaussian mixture by EM on the GPU, in double precision.
%
%   model = VelmoraFit(X, K)
%   [model, info] = VelmoraFit(X, K, Name, Value, ...)
%
%   X      dim x num_data  data points, one per column (double or single;
%                          an N-D array is taken as dim x prod(rest))
%   K      number of clusters, a positive whole number, at most num_data
%
%   model  struct with fields
%            Mu     dim x K          centres
%            Sigma  dim x dim x K    full covariances, or
%                   dim x K          diagonal ones ('CovarianceType', 'diagonal');
%                                    with 'SharedCovariance', the same
%                                    covariance repeated for every cluster
%            Pi     1 x K            mixture priors, summing to 1
%          ready for VelmoraLog(X, model.Mu, model.Sigma, model.Pi).
%   info   struct with fields
%            LogLikelihood  of the data under the returned model
%            History        1 x Iterations: the log-likelihood computed in
%                           each E-step, under the parameters entering it
%            Iterations     E-steps made, each followed by an M-step
%            Converged      true when TolFun stopped the fit
%            BIC, AIC       -2*LogLikelihood + p*log(num_data), + 2*p, with
%                           p the free parameters of the model (with
%                           'Weights', log of the sum of the weights)
%            Replicate      the replicate kept
%            Resident       true when X stayed in device memory for the
%                           whole fit; false when it was streamed in chunks
%                           every iteration
%            ExtraPasses    passes over X taken again, in the kept replicate,
%                           because a mean moved so far against its new
%                           covariance that the moments about the old
%                           means would have lost the covariance's digits:
%                           they are then taken again about the new means
%                           (under the same posteriors)
%          and the options used: CovarianceType, SharedCovariance,
%          RegularizationValue, Start ('plus', 'randSample', 'labels' or
%          'parameters'), Replicates, MaxIter, TolFun, TolFunRelative,
%          Display, Seed, ProbabilityTolerance.
%
%   Options (names in any case, named as fitgmdist names them):
%     'CovarianceType'       'full' (default) or 'diagonal'
%     'SharedCovariance'     false (default), or true: one covariance for
%                            every cluster, pooled by every M-step (a
%                            struct start's own covariances, one or K,
%                            serve the first E-step as given)
%     'RegularizationValue'  1e-6 (default): added to every variance the
%                            M-step forms (0 or more)
%     'Start'                how the first E-step's parameters are chosen:
%                            'plus' (default): k-means++ centres drawn on
%                              the device from the stream of 'Seed'
%                            'randSample': K points of X as centres,
%                              drawn without replacement, uniformly (by
%                              weight) from the stream of 'Seed'; on data
%                              with ties two may coincide, and clusters
%                              started on one point never part: 'plus'
%                              draws apart
%                              (both: every covariance the data's variance
%                              per coordinate plus RegularizationValue,
%                              equal priors)
%                            a 1 x num_data vector of labels 1..K, each
%                              used at least once: the M-step of that hard
%                              assignment
%                            a struct with fields Mu (dim x K), Sigma (as
%                              in model, or one covariance for all: dim x dim
%                              or dim x 1) and Pi (1 x K, every prior
%                              positive; rescaled to sum to 1), used as
%                              given
%                            a gmdistribution, or a struct with its fields
%                              mu (K x dim), Sigma (in any of its forms)
%                              and ComponentProportion; a diagonal one
%                              starts a full fit with its diagonal
%                              covariances
%     'Replicates'           1 (default): fits from that many starts; the
%                            one with the largest LogLikelihood is kept.
%                            Must be 1 with labels or a struct as 'Start'.
%     'MaxIter'              100 (default): iterations at most
%     'TolFun'               1e-6 (default): stop once the log-likelihood
%                            per point rises by less than this from one
%                            iteration to the next; 0 always runs MaxIter
%                            iterations
%     'TolFunRelative'       false (default); true stops as fitgmdist
%                            does: once an iteration raises the
%                            log-likelihood by at most TolFun x max(1,
%                            |log-likelihood|) (TolFun 0: once it no
%                            longer rises)
%     'Display'              'off' (default), 'iter' (each iteration's
%                            log-likelihood and its rise, per point or,
%                            with 'TolFunRelative', over max(1,
%                            |log-likelihood|)) or 'final' (one line per
%                            replicate, and with Replicates > 1 one more
%                            naming the replicate kept)
%     'Seed'                 0 (default): the random stream of 'plus' and
%                            'randSample'. The same seed, data and device
%                            give the same bits.
%     'Weights'              1 x num_data sample weights, finite and 0 or
%                            more, at least K of them positive (default:
%                            1 each). Every statistic and the
%                            log-likelihood are weighted: whole weights fit
%                            the data with each point repeated that many
%                            times, and a weight of 0 leaves the point out.
%                            TolFun is then per unit of weight, BIC's sample
%                            size is the sum of the weights, and 'plus' and
%                            'randSample' draw points in proportion to
%                            their weights. Weights of 1 draw the points
%                            that the same seed draws without weights;
%                            for 'randSample', so do weights that are all
%                            the same where positive (the points of weight
%                            0 left out).
%     'ProbabilityTolerance' 0 (default) to 1e-6: posteriors below it count
%                            as 0 in the M-step (the log-likelihood keeps
%                            every term). On the host engine posteriors
%                            below 2.2e-308 (the smallest normal double)
%                            count as 0 too.
%
%   With a struct start, 'MaxIter', n, 'TolFun', 0 performs exactly n
%   E-steps, each followed by an M-step, and returns the parameters of the
%   last M-step.
%
%   Every iteration is one pass over X on the device: the posteriors stay
%   there, and the M-step's sufficient statistics (weights, sums, and
%   second moments about the previous means, so that data far from the
%   origin lose nothing; taken again about the new means, one more pass,
%   where a mean moved far against its new covariance) are reduced in a
%   fixed order. X stays in device
%   memory when it fits; otherwise it is streamed in chunks every
%   iteration, with the same bits. The M-step and the factorisations run
%   on the host, in parallel across clusters.
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
%   Errors, with identifiers:
%     Velmora:usage       not 2 inputs and name/value pairs, more than 2
%                         outputs, K not a whole number from 1 to num_data,
%                         an unknown option, or an option with a bad value
%                         (the message names it), labels that are not 1..K
%                         or leave a cluster without a point, Replicates > 1
%                         with labels or a struct as 'Start', a weight that
%                         is negative or not finite (named), fewer than K
%                         positive weights, weights that sum past the
%                         largest double or are all below the smallest
%                         normal one (realmin, 2.2251e-308)
%     Velmora:type        X or a 'Start' field that is not double or single,
%                         or is sparse or complex
%     Velmora:dimensions  X without rows; 'Start' labels, Mu, Sigma or Pi, or
%                         'Weights', of the wrong size
%     Velmora:covariance  a 'Start' covariance that is not symmetric,
%                         finite and positive definite (naming the cluster)
%     Velmora:priors      a 'Start' prior that is 0, negative or not finite
%     Velmora:means       a 'Start' centre that is not finite
%     Velmora:data        a coordinate of X that is NaN or Inf (named), or
%                         values too large for the sums of their squares to be doubles
%     Velmora:fit         the fit cannot go on: a cluster lost its points
%                         (its posterior weights sum to less than eps of
%                         the data) or its covariance is not (at the start)
%                         or stopped being positive definite; the message
%                         names the cluster (1-based), the iteration, and a
%                         coordinate without spread in it where there is one. With several
%                         replicates, a failing one is dropped (reported
%                         with Display) and the error comes only if all fail.
%     Velmora:memory      not even one chunk fits in the device's memory, or
%                         the host cannot hold a double copy of a single X
%                         or the model (its memory, the process's ulimit
%                         -v and -d, its cgroup's limit)
%     Velmora:device      no usable device, or the device failed, or
%                         VELMORA_DEVICE names one this build lacks
%                         (Velmora:usage: it names no engine)
%     Velmora:interrupted Ctrl-C (in Octave): the fit stops before its next
%                         replicate, k-means++ pass or iteration (on the
%                         host engine within a pass too), naming it, and
%                         returns nothing; try catches it (rethrow it to
%                         stop)
%   Nothing stays allocated after an error.
%
%   Warnings, with identifiers (warning('off', id) silences one):
%     Velmora:layout        X has no more columns than rows: as many points
%                           as dimensions or fewer, the look of data with
%                           one point per row, as fitgmdist takes them. For
%                           those, call velmora_fitgmdist(X, K, ...) or
%                           VelmoraFit(X.', K, ...).
%     Velmora:notConverged  the fit used MaxIter iterations before TolFun
%                           stopped it (unless Display is 'off', or TolFun
%                           is 0 without 'TolFunRelative': there every fit
%                           runs MaxIter iterations by request)
%
%   On the CPU device (the build for machines without an NVIDIA GPU) a fit
%   of up to 16 clusters and 16 dimensions (32 with diagonal covariances)
%   runs one kernel for its E-step and statistics:
%   at dim 8, K 8, full, an iteration took a third of scikit-learn's
%   GaussianMixture's on the same two cores. Larger fits run the GPU's
%   kernels thread by thread and are slow there: full mode at dim 20, K 32
%   and at dim 32, K 16 (N = 20000) took 6 to 10 times scikit-learn's time
%   per iteration. Where that matters more than exact, identical bits, fit
%   those with scikit-learn, or on a GPU.
%
%   Example:
%     X = [randn(2, 500), randn(2, 500) + 6];          % two clusters
%     [model, info] = VelmoraFit(X, 2, 'Seed', 1);
%     [logP, R] = VelmoraLog(X, model.Mu, model.Sigma, model.Pi);
%     sum(logP) - info.LogLikelihood                     % 0 up to rounding
%     [~, label] = max(R);                               % hard assignment
%
%   velmora_gmdistribution(model, info) gives the model as a
%   gmdistribution; velmora_fitgmdist takes fitgmdist's call, one point per
%   row, and returns one.
%
%   See also VelmoraLog, velmora_gmdistribution, velmora_fitgmdist, fitgmdist.
