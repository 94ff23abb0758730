% Arrays larger than the process may allocate, in a session of its own under
% ulimit -v 2000000 (2 GB of address space): VelmoraLog's results and
% VelmoraFit's double copy of a single X, and velmora_fitgmdist's copy of X
% with one point per column, are refused with Velmora:memory,
% naming the limit, before anything is allocated; the session goes on.
modules = fileparts (which ("VelmoraLog"));
child = [tempname(), ".m"];
fid = fopen (child, "w");
fprintf (fid, "addpath ('%s');\n", modules);
fprintf (fid, "try, [lp, R] = VelmoraLog (zeros (1, 1e6), zeros (1, 600), ones (1, 600), ones (1, 600));\n");
fprintf (fid, "catch err, printf ('[%%s] %%s\\n', err.identifier, err.message); end\n");
fprintf (fid, "try, model = VelmoraFit (ones (1, 2e8, 'single'), 2);\n");
fprintf (fid, "catch err, printf ('[%%s] %%s\\n', err.identifier, err.message); end\n");
fprintf (fid, "X = ones (6e7, 2);\n");
fprintf (fid, "try, gm = velmora_fitgmdist (X, 2);\n");
fprintf (fid, "catch err, printf ('[%%s] %%s\\n', err.identifier, err.message); end\n");
fprintf (fid, "clear X;\n");
fprintf (fid, "printf ('then %%d\\n', numel (VelmoraLog (zeros (1, 10), 0, 1, 1)));\n");
fclose (fid);
octave = fullfile (OCTAVE_HOME (), "bin", "octave-cli");
[status, out] = system (sprintf ("ulimit -v 2000000 && '%s' --norc --no-history --quiet '%s' 2>&1", ...
                                 octave, child));
delete (child);
printf ("%s", out);
lines = strsplit (strtrim (out), "\n");
assert (numel (lines), 4, out);
starts = @(line, text) strncmp (line, text, numel (text));
ends = @(line, text) numel (line) >= numel (text) && strcmp (line(end-numel(text)+1:end), text);
limit = ", what its address-space limit (ulimit -v) leaves.";
assert (starts (lines{1}, ["[Velmora:memory] VelmoraLog: The results would take 4.81 GB (logP and R ", ...
                           "for 1000000 points), 9.62 GB while Octave takes them over, more than ", ...
                           "this process can get: "]), lines{1});
assert (ends (lines{1}, limit), lines{1});
assert (starts (lines{2}, ["[Velmora:memory] VelmoraFit: A double copy of X would take 1.6 GB ", ...
                           "(X is single, 1 x 200000000), more than this process can get: "]), lines{2});
assert (ends (lines{2}, limit), lines{2});
% velmora_fitgmdist's copy of X, one point per column, as VelmoraFit's
% own copies are refused (it was Octave's own out-of-memory error).
assert (lines{3}, ["[Velmora:memory] A copy of X with one point per column, as VelmoraFit ", ...
                   "takes it, would take 0.96 GB, more than this process can get."]);
assert (lines{4}, "then 10");
