function [gm, info, varargout] = velmora_fitgmdist (X, K, varargin)
  % VELMORA_FITGMDIST  fitgmdist's call, fitted by VelmoraFit on the device.
  %
  %   gm = velmora_fitgmdist(X, K)
  %   gm = velmora_fitgmdist(X, K, Name, Value, ...)
  %   [gm, info] = velmora_fitgmdist(...)
  %
  %   Takes a call to fitgmdist as it is written, with one point per ROW of
  %   X, and fits it with VelmoraFit(X.', K, ...), which takes one point per
  %   column: replace fitgmdist by velmora_fitgmdist in a script.
  %
  %   X      N x d data, one point per row (double or single). Rows holding
  %          a NaN are left out, as fitgmdist leaves them out
  %          (info.RowsLeftOut counts them); an Inf is refused.
  %   K      number of components
  %
  %   gm     a gmdistribution (in Octave, where the statistics package is
  %          loaded) with mu (K x d), Sigma (d x d x K full, 1 x d x K
  %          diagonal, d x d or 1 x d shared), ComponentProportion, and the
  %          fit's NegativeLogLikelihood, AIC, BIC, Converged, NumIterations
  %          and RegularizationValue, for pdf(gm, X), posterior, cluster,
  %          mahal and random. Where gmdistribution is not defined, a
  %          struct with the same fields (VelmoraLog(X, gm) takes either).
  %          In MATLAB, whose gmdistribution cannot be given the fit's
  %          figures, they are empty (see velmora_gmdistribution).
  %   info   VelmoraFit's info for the fit (History, Iterations, ...), with
  %          RowsLeftOut, the rows of X left out for a NaN.
  %
  %   Options, as fitgmdist names them (names in any case):
  %     'CovarianceType', 'CovType'   'full' (default) or 'diagonal'
  %     'SharedCovariance', 'SharedCov'  false (default) or true
  %     'RegularizationValue', 'Regularize'  0 (default, as fitgmdist): added
  %                          to every variance
  %     'Start'       'plus' (default, as MATLAB; Octave's fitgmdist starts
  %                   from 'randSample'), 'randSample', a vector of N labels
  %                   1..K (one per row of X, NaN rows included), or a
  %                   struct with mu (K x d), Sigma (any of gmdistribution's
  %                   forms) and ComponentProportion (1 x K; equal when
  %                   left out), or a gmdistribution. 'cluster' is refused.
  %                   'plus' and 'randSample' draw their seed from rand, so
  %                   a fit repeats where rand's state (rng) does.
  %     'Replicates'  1 (default): the fit with the largest log-likelihood
  %                   of that many starts is kept (each fitted by the rule
  %                   below; a failed one dropped, as VelmoraFit drops
  %                   it). A start of labels or parameters is one start:
  %                   it is fitted once, as fitgmdist fits it
  %     'Options'     a struct (statset's, or any with these fields; empty
  %                   or missing fields take the defaults):
  %                     MaxIter  100 (default)
  %                     TolFun   1e-6 (default): EM stops once an iteration
  %                              raises the log-likelihood by at most
  %                              TolFun x max(1, |log-likelihood|): a
  %                              relative change of the whole
  %                              log-likelihood, as fitgmdist measures it
  %                              (Octave's statistics package stops there),
  %                              not VelmoraFit's rise per point; 0 stops
  %                              where it no longer rises
  %                     Display  'off' (default), 'final', 'iter' or
  %                              'notify' (only the warning below)
  %     'ProbabilityTolerance'  from 0 to 1e-6: posteriors below it count as
  %                   0 before the M-step (VelmoraFit's default when left out)
  %     'Weights', 'Weight'  N x 1 weights of the rows, finite and 0 or more
  %
  %   TolFun is applied through VelmoraFit's TolFun per point: a first fit
  %   runs with the per-point rise that the rule allows at the
  %   log-likelihood of one Gaussian for all the data; where fitgmdist's
  %   rule has not held when it stops, the fit goes on from its model with
  %   the rule at the log-likelihood reached, and where it held earlier,
  %   the fit is made again from the same start up to there (the same
  %   bits). So it stops at the iteration where fitgmdist's rule first
  %   holds. NumIterations is that iteration, the E-steps made, as
  %   fitgmdist counts them, and gm holds the parameters of the M-step
  %   that followed it, as fitgmdist's do; its NegativeLogLikelihood is
  %   that of the data under them (fitgmdist reports that of its last
  %   E-step). With Display 'iter' or 'final', each of those fits prints
  %   VelmoraFit's lines, and a fit that took several ends with a line of
  %   its own.
  %
  %   A fit that reaches MaxIter before TolFun stops it warns
  %   (Velmora:notConverged) unless Display is 'off'.
  %   Errors are VelmoraFit's (help VelmoraFit). Where rows holding NaN were
  %   left out, a point that VelmoraFit's messages name is counted among
  %   the rows kept.
  %
  %   Example (fitgmdist's own):
  %     C1 = randn (100, 2) + 2;  C2 = randn (100, 2) - 2;
  %     gm = velmora_fitgmdist ([C1; C2], 2);
  %     idx = cluster (gm, [C1; C2]);      % Octave: pkg load statistics
  %     p = pdf (gm, [0 0; 2 2]);
  %
  %   See also VelmoraFit, velmora_gmdistribution, fitgmdist, gmdistribution.
  if (nargin < 2)
    error ('Velmora:usage', ['At least 2 inputs are needed, X and K; %d %s given. ', ...
                             'Call it as gm = velmora_fitgmdist(X, K, Name, Value, ...).'], ...
           nargin, ifelse_text (nargin == 1, 'was', 'were'));
  end
  if (nargout > 2)
    error ('Velmora:usage', ['At most 2 outputs are given, gm and info; %d were asked for. ', ...
                             'Call it as [gm, info] = velmora_fitgmdist(X, K, Name, Value, ...).'], ...
           nargout);
  end
  if (~(isnumeric (X) || islogical (X)) || ~ismatrix (X))
    error ('Velmora:dimensions', ['X must be an N x d matrix, one point per row; ', ...
                                  'it is a %s %s.'], size_text (X), class (X));
  end
  if (issparse (X) || islogical (X))
    X = full (double (X));
  end
  o = options (varargin);
  [N0, d] = size (X);
  if (N0 == 0 || d == 0)
    error ('Velmora:dimensions', ['X must hold at least one point, one per row, of at ', ...
                                  'least one coordinate; it is %s.'], size_text (X));
  end
  kept = ~any (isnan (X), 2);
  [i, j] = find (isinf (X), 1);
  if (~isempty (i))
    error ('Velmora:data', 'X(%d,%d) is %s: every coordinate of a point must be finite.', ...
           i, j, num2str (X(i, j)));
  end
  Xt = X(kept, :).';
  N = size (Xt, 2);
  if (N == 0)
    error ('Velmora:data', 'Every row of X holds a NaN: no point is left to fit.');
  end
  if (isnumeric (K) && isscalar (K) && K > N)
    error ('Velmora:usage', ['K must be at most the number of points, %d (the rows of X', ...
                             '%s); it is %d.'], N, ifelse_text (N < N0, ' without a NaN', ''), K);
  end

  common = {'CovarianceType', o.CovarianceType, 'SharedCovariance', o.SharedCovariance, ...
            'RegularizationValue', o.RegularizationValue, 'Display', o.Display};
  if (~isempty (o.ProbabilityTolerance))
    common(end + 1:end + 2) = {'ProbabilityTolerance', o.ProbabilityTolerance};
  end
  if (~isempty (o.Weights))
    if (numel (o.Weights) ~= N0)
      error ('Velmora:dimensions', ['''Weights'' must hold one weight per row of X, %d x 1; ', ...
                                    'it is %s.'], N0, size_text (o.Weights));
    end
    o.Weights = reshape (o.Weights(kept), 1, N);
    common(end + 1:end + 2) = {'Weights', o.Weights};
  end
  start = start_argument (o, kept, N0, d);
  % Replicates: each from a seed of its own (drawn from rand, so that a
  % fit repeats where rand's state does), the largest log-likelihood kept.
  % A start of parameters or labels is one start: fitgmdist then fits once.
  replicates = 1;
  if (ischar (start))
    replicates = double (o.Replicates);
  end
  quiet = warning ('off', 'Velmora:notConverged');
  layout = warning ('off', 'Velmora:layout');
  restore = onCleanup (@() warning ([quiet, layout]));
  scale = one_gaussian_scale (Xt, o);
  amount = N;  % VelmoraFit's TolFun is per point, or per unit of weight
  if (~isempty (o.Weights))
    amount = sum (o.Weights);
  end
  kept_one = false;
  failure = '';
  for r = 1:replicates
    first = {'Start', start};
    if (ischar (start))
      first(end + 1:end + 2) = {'Seed', floor(rand () * 2^31)};
    end
    if (replicates > 1 && strcmp (o.Display, 'iter'))
      fprintf ('Replicate %d:\n', r);
    end
    try
      [m, in, fits] = fit_by_the_rule (Xt, K, common, first, o, scale, amount);
    catch err
      % As VelmoraFit's replicates: a failed one is dropped, and the error
      % comes only if every one fails.
      if (replicates == 1 || ~strcmp (err.identifier, 'Velmora:fit'))
        rethrow (err);
      end
      if (isempty (failure))
        failure = err.message;
      end
      if (~strcmp (o.Display, 'off'))
        fprintf ('Replicate %d dropped: %s\n', r, err.message);
      end
      continue;
    end
    if (~kept_one || in.LogLikelihood > info.LogLikelihood)
      kept_one = true;
      model = m;
      info = in;
      info.Replicate = r;
      rounds = fits;
    end
  end
  clear restore
  if (~kept_one)
    error ('Velmora:fit', 'Every one of the %d replicates failed; the first: %s', ...
           replicates, failure);
  end
  info.Replicates = replicates;
  info.MaxIter = o.MaxIter;
  info.TolFun = o.TolFun;
  info.Display = o.DisplayAsked;
  info.RowsLeftOut = N0 - N;
  if (rounds > 1 && ~strcmp (o.Display, 'off'))
    fprintf ('velmora_fitgmdist: %d iterations in %d fits, log-likelihood %.12g, %s.\n', ...
            info.Iterations, rounds, info.LogLikelihood, ...
            ifelse_text (info.Converged, 'converged', 'not converged (MaxIter reached)'));
  end
  if (~info.Converged && ~strcmp (o.DisplayAsked, 'off'))
    warning ('Velmora:notConverged', ['velmora_fitgmdist: the fit stopped at MaxIter (%d ', ...
             'iterations) before the log-likelihood''s rise fell to TolFun (%g) times ', ...
             'its size. Raise MaxIter (in ''Options'') to let it converge.'], ...
             o.MaxIter, o.TolFun);
  end
  gm = velmora_gmdistribution (model, info);
end

% One start fitted until fitgmdist's rule holds: iteration t's E-step
% (History(t)) raised the log-likelihood by at most TolFun x max(1, |it|),
% and the model is that of t's M-step, as fitgmdist returns it. VelmoraFit
% stops on a rise per point instead: each fit takes the per-point rise
% that the rule allows at the log-likelihood known (one Gaussian's, then
% the last reached) and goes on from its model while the rule has not
% held. Where it held before VelmoraFit stopped (|log-likelihood| grew past
% the scale taken, or TolFun is 0), that fit is made again from the same
% start and seed with MaxIter up to there: the same bits, stopped there.
function [model, info, fits] = fit_by_the_rule (Xt, K, common, first, o, scale, amount)
  history = [];
  fits = 0;
  converged = false;
  left = o.MaxIter;
  while (left > 0 && ~converged)
    [model, part] = VelmoraFit (Xt, K, common{:}, first{:}, 'MaxIter', left, ...
                                'TolFun', o.TolFun * scale / amount);
    fits = fits + 1;
    if (fits == 1)
      info = part;
    end
    h = [history, part.History];
    held = first_held (o.TolFun, h, numel (history) + 1);
    converged = ~isempty (held);
    if (converged && held < numel (h))
      [model, part] = VelmoraFit (Xt, K, common{:}, first{:}, ...
                                  'MaxIter', held - numel (history), 'TolFun', 0);
      fits = fits + 1;
      h = [history, part.History];
    end
    history = h;
    first = {'Start', model};
    scale = max (1, abs (part.LogLikelihood));
    left = o.MaxIter - numel (history);
    % The model's log-likelihood is the next E-step's: where the rule
    % holds there, one iteration more ends the fit.
    if (~isempty (first_held (o.TolFun, [history(end), part.LogLikelihood], 2)))
      left = min (left, 1);
    end
  end
  info.History = history;
  info.Iterations = numel (history);
  info.LogLikelihood = part.LogLikelihood;
  info.BIC = part.BIC;
  info.AIC = part.AIC;
  info.Converged = converged;
end

% The first iteration from `from` on (never 1, which has no rise) where
% fitgmdist's rule holds in a history h, or [].
function t = first_held (tol_fun, h, from)
  t = max (from, 2):numel (h);
  t = t(find (h(t) - h(t - 1) <= tol_fun * max (1, abs (h(t))), 1));
end

% The options, fitgmdist's names and defaults, in any case.
function o = options (args)
  o = struct ('CovarianceType', 'full', 'SharedCovariance', false, ...
              'RegularizationValue', 0, 'Start', 'plus', 'Replicates', 1, 'MaxIter', 100, ...
              'TolFun', 1e-6, 'Display', 'off', 'DisplayAsked', 'off', ...
              'ProbabilityTolerance', [], 'Weights', []);
  names = struct ('covariancetype', 'CovarianceType', 'covtype', 'CovarianceType', ...
                  'sharedcovariance', 'SharedCovariance', 'sharedcov', 'SharedCovariance', ...
                  'regularizationvalue', 'RegularizationValue', 'regularize', 'RegularizationValue', ...
                  'start', 'Start', 'replicates', 'Replicates', 'options', 'Options', ...
                  'probabilitytolerance', 'ProbabilityTolerance', 'weights', 'Weights', ...
                  'weight', 'Weights');
  for i = 1:2:numel (args)
    if (~ischar (args{i}))
      error ('Velmora:usage', ['Option names must be text; argument %d is a %s %s. Call it as ', ...
                               'gm = velmora_fitgmdist(X, K, Name, Value, ...).'], ...
             i + 2, size_text (args{i}), class (args{i}));
    end
    key = lower (args{i});
    if (~isfield (names, key))
      hint = '';
      if (any (strcmp (key, {'maxiter', 'tolfun', 'display'})))
        hint = [' MaxIter, TolFun and Display go in ''Options'', as fitgmdist takes them: ', ...
                '''Options'', struct(''MaxIter'', 500).'];
      end
      error ('Velmora:usage', ['Unknown option ''%s'': the options are CovarianceType, ', ...
                               'SharedCovariance, RegularizationValue, Start, Replicates, ', ...
                               'Options, ProbabilityTolerance and Weights.%s'], args{i}, hint);
    end
    if (i + 1 > numel (args))
      error ('Velmora:usage', ['Option ''%s'' has no value: options come in name/value ', ...
                               'pairs.'], args{i});
    end
    value = args{i + 1};
    switch (names.(key))
      case 'Options'
        o = statset_fields (o, value);
      case 'Replicates'
        if (~(isnumeric (value) && isreal (value) && isscalar (value) && isfinite (value) ...
              && value >= 1 && value == fix (value)))
          error ('Velmora:usage', '''Replicates'' must be a positive whole number; it is %s.', ...
                 describe (value));
        end
        o.Replicates = double (value);
      case 'ProbabilityTolerance'
        if (~(isnumeric (value) && isreal (value) && isscalar (value) && value >= 0 ...
              && value <= 1e-6))
          error ('Velmora:usage', ['''ProbabilityTolerance'' must be a number from 0 to ', ...
                                   '1e-6; it is %s.'], describe (value));
        end
        o.ProbabilityTolerance = double (value);
      case 'Weights'
        if (~(isnumeric (value) && isreal (value) && isvector (value)))
          error ('Velmora:usage', ['''Weights'' must be a real vector, one weight per row of ', ...
                                   'X; it is %s.'], describe (value));
        end
        bad = find (~(isfinite (value) & value >= 0), 1);
        if (~isempty (bad))
          error ('Velmora:usage', ['''Weights''(%d) is %s: weights must be finite and 0 ', ...
                                   'or more.'], bad, num2str (value(bad)));
        end
        o.Weights = full (double (value(:)));
      otherwise
        o.(names.(key)) = value;
    end
  end
end

% MaxIter, TolFun and Display from a statset-like struct; other fields
% (statset has many) are not ours, and empty ones keep their defaults.
function o = statset_fields (o, s)
  if (isempty (s))
    return;
  end
  if (~isstruct (s) || ~isscalar (s))
    error ('Velmora:usage', ['''Options'' must be a struct with fields MaxIter, TolFun and ', ...
                             'Display (statset''s, for example); it is %s.'], describe (s));
  end
  for f = fieldnames (s).'
    value = s.(f{1});
    if (isempty (value))
      continue;
    end
    switch (lower (f{1}))
      case 'maxiter'
        % Inf and complex values pass the comparisons: VelmoraFit would
        % refuse them under its own option's name, not this one.
        if (~(isnumeric (value) && isreal (value) && isscalar (value) && isfinite (value) ...
              && value >= 1 && value == fix (value)))
          error ('Velmora:usage', '''Options''.MaxIter must be a positive whole number; it is %s.', ...
                 describe (value));
        end
        o.MaxIter = double (value);
      case 'tolfun'
        if (~(isnumeric (value) && isreal (value) && isscalar (value) && value >= 0 ...
              && isfinite (value)))
          error ('Velmora:usage', '''Options''.TolFun must be a finite number, 0 or more; it is %s.', ...
                 describe (value));
        end
        o.TolFun = double (value);
      case 'display'
        words = {'off', 'final', 'iter', 'notify'};
        if (~ischar (value) || ~any (strcmpi (value, words)))
          error ('Velmora:usage', ['''Options''.Display must be ''off'', ''final'', ''iter'' ', ...
                                   'or ''notify''; it is %s.'], describe (value));
        end
        o.DisplayAsked = lower (value);
        % 'notify' says nothing but the warning, which is ours.
        o.Display = ifelse_text (strcmp (o.DisplayAsked, 'notify'), 'off', o.DisplayAsked);
    end
  end
end

% 'Start' as VelmoraFit takes it: labels of the rows kept, a struct with
% Mu, Sigma and Pi in its layout.
function start = start_argument (o, kept, N0, d)
  start = o.Start;
  forms = ['''Start'' must be ''plus'', ''randSample'', a vector of labels 1..K, one per ', ...
           'row of X, or a struct with fields mu (K x d), Sigma and ComponentProportion'];
  if (ischar (start))
    if (strcmpi (start, 'cluster'))
      error ('Velmora:usage', ['''Start'' ''cluster'' is not supported here: use ''plus'' ', ...
                               '(the default), ''randSample'', labels (from kmeans, say) or ', ...
                               'a struct of parameters.']);
    end
    if (~any (strcmpi (start, {'plus', 'randSample'})))
      error ('Velmora:usage', '%s; it is ''%s''.', forms, start);
    end
    return;
  end
  if (isnumeric (start) || islogical (start))
    if (~isvector (start) || numel (start) ~= N0)
      error ('Velmora:dimensions', ['''Start'' labels must be one per row of X, %d x 1; ', ...
                                    'it is %s.'], N0, size_text (start));
    end
    start = reshape (double (start(kept)), 1, []);
    return;
  end
  if (isstruct (start) && isscalar (start) && isfield (start, 'mu') ...
      && ~isfield (start, 'ComponentProportion'))
    start.ComponentProportion = ones (1, size (start.mu, 1)) / size (start.mu, 1);
  end
  if (~(isstruct (start) || isa (start, 'gmdistribution')))
    error ('Velmora:usage', '%s; it is %s.', forms, describe (start));
  end
  full = strcmpi (o.CovarianceType, 'full');
  try
    [Mu, Sigma, Pi] = velmora_model (start, ifelse_text (full, 'full', ''));
  catch err
    id = err.identifier;
    if (isempty (id))
      id = 'Velmora:usage';  % MATLAB's error takes an empty one for no error at all
    end
    error (id, 'In ''Start'': %s', err.message);
  end
  if (~full && ~(ismatrix (Sigma) && size (Sigma, 2) == size (Mu, 2)))
    error ('Velmora:dimensions', ['In ''Start'': with ''CovarianceType'' ''diagonal'', ', ...
                                  'Sigma must be diagonal, 1 x %d x %d (or 1 x %d for all); ', ...
                                  'it is %s.'], d, size (Mu, 2), d, size_text (start.Sigma));
  end
  start = struct ('Mu', Mu, 'Sigma', Sigma, 'Pi', Pi);
end

% |log-likelihood| of the data under one Gaussian with their per-coordinate
% variances (weighted as the fit weighs them, `o.Weights` those of the
% rows kept): the scale of the fit's
% log-likelihood before any fit exists.
function scale = one_gaussian_scale (Xt, o)
  [d, N] = size (Xt);
  w = ones (1, N);
  if (~isempty (o.Weights))
    w = o.Weights;
  end
  total = sum (w);
  m = sum (Xt .* w, 2) / total;
  v = sum (((Xt - m) .^ 2) .* w, 2) / total + o.RegularizationValue;
  scale = abs (total / 2 * (d * log (2 * pi) + d + sum (log (v))));
  if (~isfinite (scale) || scale == 0)
    scale = N;  % constant coordinates: one nat per point
  end
end

function text = describe (v)
  if (ischar (v))
    text = ['''', v, ''''];
  elseif ((isnumeric (v) || islogical (v)) && isscalar (v))
    text = num2str (v);
  else
    text = ['a ', size_text(v), ' ', class(v)];
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
