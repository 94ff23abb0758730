function velmora_demo (build_dir, num_data)
  % A realistic mixture evaluated with Velmora in diagonal and full mode,
  % checked against the same densities written in plain Octave; then a
  % mixture fitted with VelmoraFit.
  if (nargin < 2)
    num_data = 200000;
  end
  dim = 8;  K = 16;
  [device, on_gpu] = velmora_use_best_build (build_dir);
  tolerance = 1e-12;
  printf ("Velmora demo on %s: %d points, dim %d, %d clusters\n", device, num_data, dim, K);
  if (! on_gpu)
    printf (["The CPU device runs every GPU thread on the CPU: it stands in for a GPU so that\n" ...
             "everything can be tested anywhere, and is not meant to be fast.\n"]);
  end
  printf ("Each result must agree with plain Octave within a relative error of %g.\n\n", ...
          tolerance);

  randn ("seed", 42);  rand ("seed", 42);
  Mu = 4 * randn (dim, K);
  Pi = 0.5 + rand (1, K);  Pi /= sum (Pi);
  Sdiag = 0.3 + rand (dim, K);
  Sfull = random_covariances (dim, K, 0.2);

  % Points drawn from the full-covariance mixture.
  z = sum (rand (1, num_data) > cumsum (Pi)', 1) + 1;
  X = zeros (dim, num_data);
  for k = 1:K
    idx = find (z == k);
    X(:, idx) = Mu(:, k) + chol (Sfull(:, :, k))' * randn (dim, numel (idx));
  end

  modes = {"diagonal", Sdiag; "full", Sfull};
  for m = 1:rows (modes)
    printf ("--- %s covariances ---\n", modes{m, 1});
    tic;  P = Velmora (X, Mu, modes{m, 2}, Pi);  t = toc;
    tic;  R = plain_octave_gmm (X, Mu, modes{m, 2}, Pi);  t_ref = toc;
    err = max (abs (P - R) ./ abs (R));
    printf ("largest relative error against plain Octave: %.3g\n", err);
    printf ("time: Velmora %.3f s, plain Octave %.3f s\n", t, t_ref);
    if (! (err < tolerance))
      error ("velmora_demo: FAILED: %s mode differs from plain Octave by %g (tolerance %g)", ...
             modes{m, 1}, err, tolerance);
    end
    printf ("PASSED: within %g of plain Octave\n", tolerance);

    % The same mixture in the log domain, with the posteriors of EM's E-step.
    tic;  [logP, R] = VelmoraLog (X, Mu, modes{m, 2}, Pi);  t_log = toc;
    err = max (abs (logP - log (P)) ./ abs (log (P)));
    printf ("VelmoraLog: largest relative error of logP against log(P): %.3g, time %.3f s\n", ...
            err, t_log);
    printf ("posteriors: columns sum to 1 within %.3g\n", max (abs (sum (R, 1) - 1)));
    if (! (err < tolerance))
      error ("velmora_demo: FAILED: VelmoraLog's %s mode differs from log(P) by %g", ...
             modes{m, 1}, err);
    end
    printf ("PASSED: within %g of log(P)\n\n", tolerance);
  end

  % Where densities underflow: dim 800, unit covariances.
  printf ("--- dim 800 ---\n");
  X8 = randn (800, 1000);  M8 = zeros (800, 2);  M8(:, 2) = 0.5;
  evalc ("P8 = Velmora (X8, M8, ones (800, 2), [0.5 0.5]);");
  logP8 = VelmoraLog (X8, M8, ones (800, 2), [0.5 0.5]);
  printf ("Velmora: %d of %d densities are 0 (below the smallest double)\n", ...
          sum (P8 == 0), numel (P8));
  printf ("VelmoraLog: every log-density finite: %s; they lie between %.1f and %.1f\n", ...
          mat2str (all (isfinite (logP8))), min (logP8), max (logP8));
  if (! all (isfinite (logP8)))
    error ("velmora_demo: FAILED: VelmoraLog gave a log-density that is not finite");
  end
  printf ("PASSED\n\n");

  % A mixture fitted by EM on the device, then evaluated with VelmoraLog.
  printf ("--- VelmoraFit: 20000 points, dim 4, 4 clusters, full covariances ---\n");
  centres = [0 8 0 8; 0 0 8 8; 0 4 -4 0; 1 -1 1 -1];
  Xf = centres(:, mod (0:19999, 4) + 1) + randn (4, 20000);
  tic;  [model, info] = VelmoraFit (Xf, 4, "Seed", 1, "Replicates", 2);  t_fit = toc;
  found = 0;
  for k = 1:4
    found = max (found, min (sqrt (sum ((model.Mu - centres(:, k)) .^ 2, 1))));
  end
  logPf = VelmoraLog (Xf, model.Mu, model.Sigma, model.Pi);
  err = abs (sum (logPf) - info.LogLikelihood) / abs (info.LogLikelihood);
  printf ("%d iterations in %.2f s (X %s on the device), log-likelihood %.6f, converged: %s\n",
          info.Iterations, t_fit, {"streamed", "resident"}{info.Resident + 1},
          info.LogLikelihood, mat2str (info.Converged));
  printf ("every true centre has a fitted one within %.3f (the clusters are 1 wide)\n", found);
  printf ("VelmoraLog of the fitted model agrees with the fit's log-likelihood within %.2g\n", err);
  if (! (found < 0.1 && err < 1e-12 && info.Converged))
    error ("velmora_demo: FAILED: the fit did not recover the clusters");
  end
  printf ("PASSED\n");
end
