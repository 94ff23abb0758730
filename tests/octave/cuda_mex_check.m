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
  % VelmoraLog: an error with an identifier, never the end of the session.
  try
    logP = VelmoraLog (X, Mu, ones (2, 2), Pi);
    assert (has_gpu, "VelmoraLog computed without a GPU");
    assert (logP, log (plain_octave_gmm (X, Mu, ones (2, 2), Pi)), -1e-12);
  catch err
    assert (! has_gpu, err.message);
    assert (err.identifier, "Velmora:device");
    assert (strncmp (err.message, "VelmoraLog: No usable CUDA device: ", 35), err.message);
  end
  % VelmoraFit likewise; with a GPU, its model evaluates to its likelihood.
  Xf = [randn(2, 200), randn(2, 200) + 6];
  try
    [model, info] = VelmoraFit (Xf, 2, "Seed", 1);
    assert (has_gpu, "VelmoraFit computed without a GPU");
    logP = VelmoraLog (Xf, model.Mu, model.Sigma, model.Pi);
    assert (abs (sum (logP) - info.LogLikelihood) < 1e-12 * abs (info.LogLikelihood));
  catch err
    assert (! has_gpu, err.message);
    assert (err.identifier, "Velmora:device");
    assert (strncmp (err.message, "VelmoraFit: No usable CUDA device: ", 35), err.message);
  end
  printf ("CUDA MEX: %s\n", ifelse_text (has_gpu));
end

function t = ifelse_text (has_gpu)
  if (has_gpu)
    t = "computed on the GPU";
  else
    t = "no GPU, answered as expected";
  end
end
