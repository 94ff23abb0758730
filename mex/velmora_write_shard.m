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
  % See also VelmoraFitParallel.
  if (nargin ~= 2 || ~ischar (file) || ~isnumeric (X) || ~isreal (X) || ndims (X) ~= 2)
    error ('Velmora:usage', 'Call it as velmora_write_shard (FILE, X) with X dim x n, real.');
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
