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
  %          (info.RowsLeftOut counts them); an Inf in any other row is
  %          refused.
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
  %          figures, they are empty (see velmora_gmdistribution). AIC and
  %          BIC count K - 1 proportions, K d means and the covariances'
  %          entries, as MATLAB does (Octave's statistics package 1.5.3
  %          counts K means). The model is double whatever X's class.
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
  %                   of that many starts is kept (a failed one dropped,
  %                   as VelmoraFit drops it). A start of labels or
  %                   parameters is one start: it is fitted once, as
  %                   fitgmdist fits it
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
  %   The fit is VelmoraFit's with 'TolFunRelative', true: it stops at the
  %   iteration where fitgmdist's rule first holds. NumIterations is that
  %   iteration, the E-steps made, as fitgmdist counts them, and gm holds
  %   the parameters of the M-step that followed it, as fitgmdist's do;
  %   its NegativeLogLikelihood is that of the data under them (fitgmdist
  %   reports that of its last E-step). Display 'iter' and 'final' print
  %   VelmoraFit's lines.
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
  if (~isempty (varargin) && exist ('convertStringsToChars'))  % MATLAB: "text" as 'text'
    [varargin{:}] = convertStringsToChars (varargin{:});
  end
  o = options (varargin);
  [N0, d] = size (X);
  if (N0 == 0 || d == 0)
    error ('Velmora:dimensions', ['X must hold at least one point, one per row, of at ', ...
                                  'least one coordinate; it is %s.'], size_text (X));
  end
  % One point per column, as VelmoraFit takes them: a copy of X (and the
  % masks that find its NaN and Inf), which the host may not have room
  % for: refused as VelmoraFit refuses its own copies. The message's
  % figure is worked out from X's size alone, allocating nothing.
  try
    kept = ~any (isnan (X), 2);
    % An Inf in a row left out for its NaN goes with the row.
    [i, j] = find (isinf (X) & kept, 1);
    if (~isempty (i))
      error ('Velmora:data', 'X(%d,%d) is %s: every coordinate of a point must be finite.', ...
             i, j, num2str (X(i, j)));
    end
    if (all (kept))
      Xt = X.';
    else
      Xt = X(kept, :).';
    end
  catch err
    if (~velmora_out_of_memory (err))
      rethrow (err);
    end
    bytes = 8;
    if (isa (X, 'single'))
      bytes = 4;
    end
    error ('Velmora:memory', ['A copy of X with one point per column, as VelmoraFit takes it, ', ...
                              'would take %s GB, more than this process can get.'], ...
           sprintf ('%.3g', bytes * N0 * d / 1e9));
  end
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
  start = start_argument (o, kept, N0, d, K);
  first = {'Start', start};
  % A start of labels or parameters is one start: fitgmdist fits it once,
  % whatever 'Replicates' says.
  if (ischar (start))
    seed = floor (rand () * 2^31);
    first(end + 1:end + 4) = {'Replicates', o.Replicates, 'Seed', seed};
  end
  % fitgmdist's rule (TolFunRelative): a rise of at most TolFun x max(1,
  % |log-likelihood|). Our own warning below speaks in this function's
  % terms.
  quiet = warning ('off', 'Velmora:notConverged');
  layout = warning ('off', 'Velmora:layout');
  restore = onCleanup (@() warning ([quiet, layout]));
  [model, info] = VelmoraFit (Xt, K, common{:}, first{:}, 'MaxIter', o.MaxIter, ...
                              'TolFun', o.TolFun, 'TolFunRelative', true);
  clear restore
  info.Display = o.DisplayAsked;
  info.RowsLeftOut = N0 - N;
  if (~info.Converged && ~strcmp (o.DisplayAsked, 'off'))
    warning ('Velmora:notConverged', ['velmora_fitgmdist: the fit stopped at MaxIter (%d ', ...
             'iterations) before the log-likelihood''s rise fell to TolFun (%g) times ', ...
             'its size. Raise MaxIter (in ''Options'') to let it converge.'], ...
             o.MaxIter, o.TolFun);
  end
  gm = velmora_gmdistribution (model, info);
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
        if (~positive_whole (value))
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
        o.Weights = full (double (value));  % its shape kept, for the message on its size
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
        if (~positive_whole (value))
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
function start = start_argument (o, kept, N0, d, K)
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
  % Its mu against K and X, in this call's layout (K x d): VelmoraFit would
  % name its own, d x K.
  if (positive_whole (K) && ~isequal (size (Mu), [d, K]))
    error ('Velmora:dimensions', ['In ''Start'': mu must be K x d, %d x %d for %d clusters ', ...
                                  'and X with %d columns; it is %d x %d.'], K, d, K, d, ...
           size (Mu, 2), size (Mu, 1));
  end
  if (~full && ~(ismatrix (Sigma) && size (Sigma, 2) == size (Mu, 2)))
    error ('Velmora:dimensions', ['In ''Start'': with ''CovarianceType'' ''diagonal'', ', ...
                                  'Sigma must be diagonal, 1 x %d x %d (or 1 x %d for all); ', ...
                                  'it is %s.'], d, size (Mu, 2), d, size_text (start.Sigma));
  end
  start = struct ('Mu', Mu, 'Sigma', Sigma, 'Pi', Pi);
end

function yes = positive_whole (v)
  yes = isnumeric (v) && isreal (v) && isscalar (v) && isfinite (v) && v >= 1 && v == fix (v);
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
