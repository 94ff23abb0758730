function cluster_velmora_log (server_folder)
  % The client side of cluster_check.sh: connects to the server on
  % 127.0.0.1, has it evaluate VelmoraLogParallel's blocks, and checks the
  % result against one local call, and that an error on the server reaches
  % the caller with its identifier.
  pkg load parallel
  % A server without the module on its path: the caller is told where to
  % look (the package closes the connection after a server's error).
  c = pconnect ({"127.0.0.1"}, struct ("use_tls", false));
  err = [];
  try
    VelmoraLogParallel (randn (2, 10), zeros (2, 1), ones (2, 1), 1, c);
  catch err
  end
  sclose (c);
  assert (! isempty (err), "a server without the module returned blocks");
  assert (err.identifier, "Velmora:worker");
  assert (! isempty (strfind (err.message, "is Velmora on its path?")), err.message);
  c = pconnect ({"127.0.0.1"}, struct ("use_tls", false));
  unwind_protect
    reval (sprintf ("addpath ('%s');", server_folder), c(2));
    randn ("seed", 9);  rand ("seed", 9);
    X = randn (4, 6000);  Mu = randn (4, 3);  S = 0.5 + rand (4, 3);  Pi = [0.2 0.3 0.5];
    [logP, R] = VelmoraLogParallel (X, Mu, S, Pi, c);
    [want, wantR] = VelmoraLog (X, Mu, S, Pi);
    assert (isequal (logP, want) && isequal (R, wantR), "the cluster differs from one call");
    try
      VelmoraLogParallel (X, Mu, S, [0.2 NaN 0.5], c);
      error ("an error on the server was lost");
    catch err
      assert (err.identifier, "Velmora:priors");
    end
    printf ("cluster on 127.0.0.1: the same bits as one call; errors keep their identifier\n");
  unwind_protect_cleanup
    sclose (c);
  end_unwind_protect
end
