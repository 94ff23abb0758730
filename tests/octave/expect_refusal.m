function expect_refusal (fn, id, message, varargin)
  % Calls fn(varargin{:}) and checks that it raises an error with identifier
  % id whose message contains `message`.
  try
    fn (varargin{:});
  catch err
    assert (err.identifier, id);
    assert (! isempty (strfind (err.message, message)), sprintf ("[%s]", err.message));
    return;
  end
  error ("expected %s, the call succeeded", id);
end
