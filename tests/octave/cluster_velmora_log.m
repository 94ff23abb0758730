function cluster_velmora_log (server_folder)
  % The client side of cluster_check.sh: connects to the server on
  % 127.0.0.1, has it evaluate VelmoraLogParallel's blocks, and checks the
  % result against one local call, and that an error on the server reaches
  % the caller with its identifier.
  pkg load parallel
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
