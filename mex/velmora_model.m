function [Mu, Sigma, Pi, failure] = velmora_model (gm, form)
  % The mixture of a gmdistribution, or of a struct with its fields mu (K x d),
  % Sigma and ComponentProportion, as VelmoraLog takes it: Mu d x K, Sigma
  % d x K (diagonal) or d x d x K (full), Pi 1 x K. Sigma's form comes from
  % its shape, as gmdistribution keeps it: d x d x K full, 1 x d x K
  % diagonal, d x d shared full, 1 x d shared diagonal (a shared covariance
  % is repeated for every cluster). With form 'full', diagonal covariances
  % come as full ones (a fit's start). Used by VelmoraLog, VelmoraLogParallel
  % and VelmoraFit. With a fourth output, a problem comes back as
  % {identifier, message} there (empty when none), not as an error: the
  % modules raise it themselves, after releasing what they hold.
  if (nargin < 2)
    form = '';
  end
  if (nargout > 3)
    failure = {};
    try
      [Mu, Sigma, Pi] = velmora_model (gm, form);
    catch err
      [Mu, Sigma, Pi] = deal ([]);
      failure = {err.identifier, err.message};
    end
    return;
  end
  if (isstruct (gm))
    need = {'mu', 'Sigma', 'ComponentProportion'};
    missing = need(~isfield (gm, need));
    if (~isscalar (gm))
      error ('Velmora:usage', ['A model struct must be one struct (it is %d x %d) with the ', ...
                               'fields mu, Sigma and ComponentProportion of a gmdistribution.'], ...
             size (gm, 1), size (gm, 2));
    end
    if (~isempty (missing))
      verb = 'is';
      if (numel (missing) > 1)
        verb = 'are';
      end
      error ('Velmora:usage', ['A model struct must have the fields mu, Sigma and ', ...
                               'ComponentProportion of a gmdistribution; %s %s missing.'], ...
             velmora_list_text (missing), verb);
    end
  end
  mu = gm.mu;
  S = gm.Sigma;
  Pi = gm.ComponentProportion;
  % Types first: the shapes below read a cell's or a char's size as data,
  % and repmat of a sparse Sigma fails in Octave's own words.
  velmora_check_type (mu, 'The model''s mu');
  velmora_check_type (S, 'The model''s Sigma');
  velmora_check_type (Pi, 'The model''s ComponentProportion');
  [K, d] = size (mu);
  if (K == 0 || ~ismatrix (mu))
    error ('Velmora:dimensions', 'The model''s mu must be K x d with K at least 1; it is %s.', ...
           size_text (mu));
  end
  fits = sigma_fits (S, d, K);
  if (K ~= d && ~fits && (sigma_fits (S, K, d) || numel (Pi) == d))
    % Sigma or ComponentProportion count the components along mu's columns:
    % mu came as d x K, the layout of VelmoraFit's Mu.
    error ('Velmora:dimensions', ['The model''s mu must be K x d, one centre per row ', ...
                                  '(%d x %d for its Sigma, %s, and its ComponentProportion, ', ...
                                  '%s); it is %d x %d: pass mu.''.'], ...
           d, K, size_text (S), size_text (Pi), K, d);
  end
  if (~fits)
    error ('Velmora:dimensions', ['The model''s Sigma must be %d x %d x %d (full), 1 x %d x %d ', ...
                                  '(diagonal), %d x %d or 1 x %d (shared); it is %s.'], ...
           d, d, K, d, K, d, d, d, size_text (S));
  end
  % Priors, centres and variances named by the model's own fields and
  % indices (and sizes), not by those of the d x K arrays that the checks
  % downstream see, in the order those take them.
  if (numel (Pi) ~= K)
    error ('Velmora:dimensions', ['The model''s ComponentProportion must hold one prior per ', ...
                                  'cluster, as 1 x %d or %d x 1 (the model''s mu has %d rows); ', ...
                                  'it is %s.'], K, K, K, size_text (Pi));
  end
  at = find (~(Pi(:) >= 0 & isfinite (Pi(:))), 1);
  if (~isempty (at))
    error ('Velmora:priors', ['The model''s ComponentProportion(%d) is %s: every prior must ', ...
                              'be finite and not negative.'], at, sprintf ('%g', Pi(at)));
  end
  % All priors 0 is refused downstream, before the centres.
  checked = any (Pi(:) > 0);
  at = [];
  if (checked)
    at = find (~isfinite (mu), 1);
  end
  if (~isempty (at))
    [k, i] = ind2sub (size (mu), at);
    error ('Velmora:means', ['The model''s mu(%d,%d), the centre of cluster %d, is %s: every ', ...
                             'coordinate of a centre must be finite.'], k, i, k, sprintf ('%g', mu(at)));
  end
  sz = [size(S), 1];
  at = [];
  if (checked && sz(1) == 1)
    at = find (~(S > 0 & isfinite (S)), 1);
  end
  if (~isempty (at))
    [~, i, k] = ind2sub (sz(1:3), at);
    if (sz(3) == 1)
      where = sprintf ('Sigma(1,%d), variance %d of every cluster', i, i);
    else
      where = sprintf ('Sigma(1,%d,%d), variance %d of cluster %d', i, k, i, k);
    end
    error ('Velmora:covariance', ['The model''s %s, is %s: every variance must be positive ', ...
                                  'and finite.'], where, sprintf ('%g', S(at)));
  end
  Mu = mu.';
  % A shared covariance is repeated for every cluster (repmat costs a
  % small call as much as its evaluation, so only then).
  if (sz(1) == 1)
    Sigma = reshape (S, d, sz(3));                          % diagonal: variances a column
    if (sz(3) ~= K)
      Sigma = repmat (Sigma, 1, K);
    end
    if (strcmp (form, 'full'))
      full = zeros (d, d, K);
      for k = 1:K
        full(:, :, k) = diag (Sigma(:, k));
      end
      Sigma = full;
    end
  elseif (sz(3) ~= K)
    Sigma = repmat (S, [1, 1, K]);                          % full, shared
  else
    Sigma = S;                                              % full
  end
  Pi = reshape (Pi, 1, []);
end

% Whether S is a gmdistribution's Sigma for K components in d dimensions:
% d x d x K full, 1 x d x K diagonal, d x d or 1 x d shared.
function fits = sigma_fits (S, d, K)
  sz = [size(S), 1];
  fits = ndims (S) <= 3 && (sz(3) == K || sz(3) == 1) && (sz(1) == 1 || sz(1) == d) ...
         && sz(2) == d;
end

function text = size_text (a)
  text = strjoin (arrayfun (@num2str, size (a), 'UniformOutput', false), ' x ');
end
