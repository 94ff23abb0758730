function expect_error (expected, varargin)
  % Calls P = Velmora(varargin{:}) and checks the message of the error it raises.
  try
    P = Velmora (varargin{:});
  catch err
    if (! strcmp (err.message, expected))
      error ("expected error\n[%s]\ngot\n[%s]", expected, err.message);
    end
    return;
  end
  error ("expected error [%s], the call succeeded", expected);
end
