% What the module prints during a run.
X = [0 1 2; 0 1 2];  Mu = [0 1; 0 1];  Pi = [0.5 0.5];

out = evalc ("P = Velmora (X, Mu, ones (2, 2), Pi);");
assert (! isempty (regexp (out, ["^Total memory on the device: [0-9]+ MB, Memory available: " ...
                                 "[0-9]+ MB, Required memory: 0 MB\nVelmora finished, total " ...
                                 "time: [0-9]+\\.000000 seconds\n$"], "once")), out);

% A covariance that is not positive definite: reported once, the run
% finishes, and its cluster's densities are NaN.
out = evalc ("P = Velmora (X, Mu, [1 2 1 0; 2 1 0 1], Pi);");
assert (numel (strfind (out, "Cholesky failed\n")), 1, out);
assert (! isempty (strfind (out, "Velmora finished")), out);
assert (all (isnan (P)));

% A zero variance: the errors collected during the run, in order.
out = evalc ("P = Velmora (X, Mu, [1 1; 0 1], Pi);");
assert (! isempty (strfind (out, ["THE FOLLOWING ERRORS OCCURED:\nERR: GaussPDF: Invalid " ...
                                  "Determinant\nERR: GaussPDF: invalid Denum Gauss\n"])), out);
assert (all (isnan (P)));
disp ("console: all checks passed");
