function velmora_write_shard (file, X)
  % velmora_write_shard (FILE, X) writes X (dim x n, one point per column)
  % as a shard VelmoraFitParallel's workers read themselves: the 8 bytes
  % VELMORA1, dim and n as little-endian unsigned 64-bit integers, then X's
  % values as little-endian doubles, column by column. Any program can
  % write one: in MATLAB or Octave,
  %
  %   f = fopen (file, 'w', 'ieee-le');
  %   fwrite (f, 'VELMORA1', 'char');  fwrite (f, size (X), 'uint64');
  %   fwrite (f, X, 'double');  fclose (f);
  %
  % X must be what VelmoraFit takes: a full, real double or single array,
  % every value finite. A shard that breaks this is refused here, when it
  % is written, rather than by a worker on the first pass of every fit.
  %
  % See also VelmoraFitParallel.
  if (nargin >= 1 && exist ('convertStringsToChars'))  % MATLAB: "text" as 'text'
    file = convertStringsToChars (file);
  end
  if (nargin ~= 2 || ~(ischar (file) && isrow (file)) || ndims (X) ~= 2)
    error ('Velmora:usage', ['Call it as velmora_write_shard (FILE, X) with FILE a file name ', ...
                             'and X dim x n, real.']);
  end
  if (~(isa (X, 'double') || isa (X, 'single')))
    error ('Velmora:type', 'X must be a double or single array; it is %s.', class (X));
  elseif (issparse (X))
    error ('Velmora:type', 'X must be full; it is sparse.');
  elseif (~isreal (X))
    error ('Velmora:type', 'X must be real; it is complex.');
  end
  if (size (X, 1) < 1 || size (X, 1) > 2^20)
    error ('Velmora:dimensions', ['X must have from 1 to 1048576 rows, one per coordinate of ', ...
                                  'the points; it is %d x %d.'], size (X, 1), size (X, 2));
  end
  bad = find (~isfinite (X), 1);
  if (~isempty (bad))
    [i, j] = ind2sub (size (X), bad);
    error ('Velmora:data', 'X(%d,%d) is %s: every coordinate of the data must be finite.', ...
           i, j, num2str (X(bad)));
  end
  [f, why] = fopen (file, 'w', 'ieee-le');
  if (f < 0)
    error ('Velmora:shard', 'Shard %s cannot be written: %s.', file, why);
  end
  closer = onCleanup (@() fclose (f));
  count = fwrite (f, 'VELMORA1', 'char') + fwrite (f, size (X), 'uint64') ...
          + fwrite (f, double (X), 'double');
  if (count ~= 10 + numel (X))
    error ('Velmora:shard', 'Shard %s could not be written whole.', file);
  end
end
