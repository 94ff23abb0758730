function velmora_check_type (a, name)
  % VelmoraLog's refusal of an input that is not a full, real double or
  % single array, in its words, for the .m callers that look at an input
  % before the module does (VelmoraLogParallel, velmora_model): name is the
  % input as the message shows it.
  if (~(isa (a, 'double') || isa (a, 'single')))
    error ('Velmora:type', '%s must be a double or single array; it is %s.', name, class (a));
  elseif (issparse (a))
    error ('Velmora:type', '%s must be full; it is sparse.', name);
  elseif (~isreal (a))
    error ('Velmora:type', '%s must be real; it is complex.', name);
  end
end
