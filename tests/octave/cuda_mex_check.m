function cuda_mex_check (folder)
  % The CUDA build of the MEX loads anywhere. Without a GPU it answers
  % "Problem with constant memory!" before looking at shapes; with one it
  % computes.
  addpath (folder);
  X = [0 1 2; 0 1 2];  Mu = [0 1; 0 1];  Pi = [0.5 0.5];
  try
    P = Velmora (X, Mu, ones (2, 2), Pi);
    has_gpu = true;
  catch err
    assert (err.message, "Velmora: Problem with constant memory!");
    has_gpu = false;
  end
  if (has_gpu)
    assert (P, plain_octave_gmm (X, Mu, ones (2, 2), Pi), -1e-12);
    expect_error ("Velmora: Invalid dimensions", X, Mu, ones (2, 2), [1 2 3]);
  else
    expect_error ("Velmora: Problem with constant memory!", X, Mu, ones (2, 2), [1 2 3]);
  end
  % VelmoraLog and VelmoraFit: on the GPU where one answers, else on the
  % host engine; named 'cuda' without a GPU, an error with an identifier,
  % never the end of the session.
  computes_or_refuses (has_gpu, "VelmoraLog", @() assert (VelmoraLog (X, Mu, ones (2, 2), Pi), ...
                       log (plain_octave_gmm (X, Mu, ones (2, 2), Pi)), -1e-12));
  computes_or_refuses (has_gpu, "VelmoraFit", @() fit_check ([randn(2, 200), randn(2, 200) + 6]));
  printf ("CUDA MEX: %s\n", {"no GPU, answered as expected", "computed on the GPU"}{has_gpu + 1});
end

% CHECK, which calls NAME, passes with the engine left to choose; with
% VELMORA_DEVICE=cuda it passes where there is a GPU, and fails with
% Velmora:device and its message where there is none.
function computes_or_refuses (has_gpu, name, check)
  check ();
  setenv ("VELMORA_DEVICE", "cuda");
  unwind_protect
    failure = [];
    try
      check ();
    catch failure
    end
    if (has_gpu)
      assert (isempty (failure), [name ": " getfield(failure, "message")]);
    else
      assert (! isempty (failure), [name " computed on 'cuda' without a GPU"]);
      assert (failure.identifier, "Velmora:device");
      prefix = [name ": No usable CUDA device: "];
      assert (strncmp (failure.message, prefix, numel (prefix)), failure.message);
    end
  unwind_protect_cleanup
    unsetenv ("VELMORA_DEVICE");
  end_unwind_protect
end

function fit_check (X)
  [model, info] = VelmoraFit (X, 2, "Seed", 1);
  logP = VelmoraLog (X, model.Mu, model.Sigma, model.Pi);
  assert (abs (sum (logP) - info.LogLikelihood) < 1e-12 * abs (info.LogLikelihood));
end
