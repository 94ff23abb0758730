function yes = velmora_out_of_memory (err)
  % Whether err is the host's own refusal of an array (Octave's or
  % MATLAB's), which the .m functions raise again as Velmora:memory.
  yes = any (strcmp (err.identifier, {'Octave:bad-alloc', 'MATLAB:nomem', ...
                                      'MATLAB:array:SizeLimitExceeded', 'MATLAB:pmaxsize'}));
end
