function gm = velmora_gmdistribution (model, info)
  % VELMORA_GMDISTRIBUTION  A VelmoraFit model as a gmdistribution.
  %
  %   gm = velmora_gmdistribution (model)
  %   gm = velmora_gmdistribution (model, info)
  %
  %   model  a struct with Mu (dim x K), Sigma (dim x K diagonal, or
  %          dim x dim x K full) and Pi (1 x K), as VelmoraFit returns it
  %   info   optional: VelmoraFit's second output, whose figures fill the
  %          fit's properties: NegativeLogLikelihood (-LogLikelihood, of
  %          the data under this model), AIC, BIC, Converged, NumIterations
  %          and RegularizationValue
  %   gm     gmdistribution (mu K x dim, its diagonal covariances as
  %          1 x dim x K), for pdf, posterior, cluster and random; needs
  %          MATLAB's Statistics Toolbox, or in Octave "pkg load statistics".
  %          Where no gmdistribution is defined, a struct with the same
  %          fields (mu, Sigma, ComponentProportion, NumComponents,
  %          NumVariables, CovarianceType, SharedCovariance, and the fit's
  %          figures), which VelmoraLog(X, gm) takes as it takes the object.
  %
  %   A model that VelmoraLog would refuse (a prior, centre or covariance
  %   at fault) is refused in the model's terms, with VelmoraLog's
  %   identifiers (Velmora:priors, Velmora:means, Velmora:covariance).
  %
  %   A model whose covariances are all the same (SharedCovariance) is
  %   given as a shared one; with info, info.SharedCovariance decides.
  %   Octave's gmdistribution takes the fit's figures through its fourth
  %   argument, which is how they are set here; MATLAB's properties are
  %   read-only and its constructor takes three, so there the figures are
  %   left empty, with a warning (Velmora:gmdistribution): read them in
  %   info.
  %
  %   Example:
  %     [model, info] = VelmoraFit (X, 3);
  %     gm = velmora_gmdistribution (model, info);
  %     idx = cluster (gm, X.');
  %
  %   See also VelmoraFit, velmora_fitgmdist, VelmoraLog.
  if (nargin < 1)
    error ('Velmora:usage', ['velmora_gmdistribution takes a VelmoraFit model and, optionally, ', ...
                             'its info: gm = velmora_gmdistribution (model, info).']);
  end
  [Mu, S, Pi] = model_arrays (model);
  if (nargin > 1)
    check_info (info);
  end
  [d, K] = size (Mu);
  diagonal = ismatrix (S) && size (S, 2) == K;  % dim x dim x K is full, also at K = 1
  if (diagonal)
    S = reshape (S, 1, d, K);
  end
  if (nargin > 1)
    shared = K > 1 && logical (info.SharedCovariance);
  else
    shared = K > 1 && all (reshape (S == S(:, :, 1), [], 1));
  end
  if (shared)
    S = S(:, :, 1);
  end
  extra = [];
  if (nargin > 1)
    extra = struct ('NegativeLogLikelihood', -info.LogLikelihood, 'AIC', info.AIC, ...
                    'BIC', info.BIC, 'Converged', logical (info.Converged), ...
                    'NumIterations', info.Iterations, ...
                    'RegularizationValue', info.RegularizationValue);
  end
  % A fitted model's priors sum to 1 within rounding, and keep their bits;
  % others are scaled to.
  if (abs (sum (Pi) - 1) > 8 * eps * numel (Pi))
    if (~isfinite (sum (Pi)))
      Pi = Pi / max (Pi);  % priors near the largest double: their sum overflows
    end
    Pi = Pi / sum (Pi);
  end
  if (~exist ('gmdistribution'))
    gm = struct ('mu', Mu.', 'Sigma', S, 'ComponentProportion', Pi, ...
                 'NumComponents', K, 'NumVariables', d, ...
                 'CovarianceType', ifelse_text (diagonal, 'diagonal', 'full'), ...
                 'SharedCovariance', shared, 'DistributionName', 'gaussian mixture distribution', ...
                 'NegativeLogLikelihood', [], 'AIC', [], 'BIC', [], 'Converged', [], ...
                 'NumIterations', [], 'RegularizationValue', []);
    if (~isempty (extra))
      for f = fieldnames (extra).'
        gm.(f{1}) = extra.(f{1});
      end
    end
    return;
  end
  if (isempty (extra))
    gm = gmdistribution (Mu.', S, Pi);
    return;
  end
  try
    gm = gmdistribution (Mu.', S, Pi, extra);
  catch
    gm = gmdistribution (Mu.', S, Pi);
    warning ('Velmora:gmdistribution', ['This gmdistribution does not take the fit''s ', ...
             'figures (NegativeLogLikelihood, AIC, BIC, Converged, NumIterations, ', ...
             'RegularizationValue): they are in the fit''s info.']);
  end
end

% The model's three arrays, each checked, or an error that names the field
% and the shape it must have.
function [Mu, S, Pi] = model_arrays (model)
  fields = {'Mu', 'Sigma', 'Pi'};
  if (~isstruct (model) || ~isscalar (model))
    error ('Velmora:usage', ['velmora_gmdistribution takes a VelmoraFit model, one struct ', ...
                             'with fields Mu (dim x K), Sigma (dim x K or dim x dim x K) and ', ...
                             'Pi (1 x K); it is a %s %s.'], size_text (model), class (model));
  end
  if (all (isfield (model, {'mu', 'Sigma', 'ComponentProportion'})) && ~isfield (model, 'Mu'))
    error ('Velmora:usage', ['The model has the fields of a gmdistribution (mu, Sigma, ', ...
                             'ComponentProportion), not those of a VelmoraFit model (Mu ', ...
                             'dim x K, Sigma, Pi): it is one already, or ', ...
                             'gmdistribution (mu, Sigma, ComponentProportion) makes one.']);
  end
  missing = fields(~isfield (model, fields));
  if (~isempty (missing))
    error ('Velmora:usage', ['The model must have the fields Mu (dim x K), Sigma (dim x K or ', ...
                             'dim x dim x K) and Pi (1 x K) of a VelmoraFit model; %s %s ', ...
                             'missing.'], velmora_list_text (missing), ...
           ifelse_text (numel (missing) > 1, 'are', 'is'));
  end
  Mu = model.Mu;
  S = model.Sigma;
  Pi = model.Pi;
  % Types first: a logical or char array's size is no measure of a mistake.
  velmora_check_type (Mu, 'The model''s Mu');
  velmora_check_type (S, 'The model''s Sigma');
  velmora_check_type (Pi, 'The model''s Pi');
  [d, K] = size (Mu);
  if (~isnumeric (Mu) || ~ismatrix (Mu) || d == 0 || K == 0)
    error ('Velmora:dimensions', ['The model''s Mu must be dim x K, one centre per column, ', ...
                                  'with dim and K at least 1; it is a %s %s.'], ...
           size_text (Mu), class (Mu));
  end
  sz = [size(S), 1];
  if (~isnumeric (S) || ~(isequal (size (S), [d K]) || (ndims (S) <= 3 && isequal (sz(1:3), [d d K]))))
    error ('Velmora:dimensions', ['The model''s Sigma must be %d x %d (diagonal) or ', ...
                                  '%d x %d x %d (full), for its Mu, %d x %d; it is %s.'], ...
           d, K, d, d, K, d, K, size_text (S));
  end
  if (~isnumeric (Pi) || ~isvector (Pi) || numel (Pi) ~= K)
    error ('Velmora:dimensions', ['The model''s Pi must hold one prior per cluster, 1 x %d ', ...
                                  '(its Mu is %d x %d); it is %s.'], K, d, K, size_text (Pi));
  end
  Pi = reshape (Pi, 1, K);
  % VelmoraLog's refusals of the same mixture, in the model's terms: a
  % gmdistribution takes most of these without a word (priors of 0 become
  % NaN proportions) and refuses the rest without an identifier.
  k = find (~(Pi >= 0 & isfinite (Pi)), 1);
  if (~isempty (k))
    error ('Velmora:priors', ['The model''s Pi(%d) is %s: every prior must be finite and not ', ...
                              'negative.'], k, num2str (Pi(k)));
  end
  if (all (Pi == 0))
    error ('Velmora:priors', 'Every prior of the model is 0: at least one must be positive.');
  end
  e = find (~isfinite (Mu), 1);
  if (~isempty (e))
    [i, k] = ind2sub ([d K], e);
    error ('Velmora:means', ['The model''s Mu(%d,%d), the centre of cluster %d, is %s: every ', ...
                             'coordinate of a centre must be finite.'], i, k, k, num2str (Mu(e)));
  end
  if (isequal (size (S), [d K]))
    e = find (~(S > 0 & isfinite (S)), 1);
    if (~isempty (e))
      [i, k] = ind2sub ([d K], e);
      error ('Velmora:covariance', ['The model''s Sigma(%d,%d), a variance of cluster %d, is %s: ', ...
                                    'every variance must be positive and finite.'], ...
             i, k, k, num2str (S(e)));
    end
  else
    e = find (~isfinite (S), 1);
    if (~isempty (e))
      [i, j, k] = ind2sub ([d d K], e);
      error ('Velmora:covariance', ['The model''s Sigma(%d,%d,%d), in the covariance of cluster ', ...
                                    '%d, is %s: every entry must be finite.'], ...
             i, j, k, k, num2str (S(e)));
    end
    % Symmetry and positive definiteness, by VelmoraLog's own test on no
    % points (its indices are the model's: Sigma is dim x dim x K alike).
    % Its other refusals (of the engine that VELMORA_DEVICE names, say)
    % are not the model's: the model needs no engine here.
    try
      VelmoraLog (zeros (d, 0), Mu, reshape (S, d, d, K), Pi);
    catch err
      if (strcmp (err.identifier, 'Velmora:covariance'))
        error ('Velmora:covariance', '%s', regexprep (err.message, '^(VelmoraLog: )?The ', ...
                                                      'The model''s '));
      end
    end
  end
end

% The fit's figures the properties take, or an error that names the
% missing ones.
function check_info (info)
  fields = {'LogLikelihood', 'AIC', 'BIC', 'Converged', 'Iterations', 'RegularizationValue', ...
            'SharedCovariance'};
  if (~isstruct (info) || ~isscalar (info))
    error ('Velmora:usage', ['velmora_gmdistribution''s second input must be VelmoraFit''s ', ...
                             'info, one struct; it is a %s %s.'], size_text (info), class (info));
  end
  missing = fields(~isfield (info, fields));
  if (~isempty (missing))
    error ('Velmora:usage', ['The info must have the fields of VelmoraFit''s info (%s); %s ', ...
                             '%s missing.'], strjoin (fields, ', '), strjoin (missing, ', '), ...
           ifelse_text (numel (missing) > 1, 'are', 'is'));
  end
end

function text = size_text (a)
  text = strjoin (arrayfun (@num2str, size (a), 'UniformOutput', false), ' x ');
end

function text = ifelse_text (condition, yes, no)
  if (condition)
    text = yes;
  else
    text = no;
  end
end
