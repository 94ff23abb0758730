function package_round_trip (tarball, version, work)
  % Installs the package TARBALL into WORK's own prefix and package lists,
  % loads it, runs its built-in tests and uninstalls it. Both lists are
  % WORK's, so a velmora installed for the user or for everyone (as root,
  % pkg install goes to the global list) is neither seen nor touched; the
  % other packages installed for everyone (parallel and statistics, which
  % the built-in tests use where they are) are copied into its global list.
  everyone = {};
  if (exist (pkg ("global_list"), "file"))
    everyone = load (pkg ("global_list")).global_packages;
    everyone = everyone(! cellfun (@(p) strcmp (p.name, "velmora"), everyone));
  end
  pkg ("prefix", fullfile (work, "prefix"), fullfile (work, "arch"));
  pkg ("local_list", fullfile (work, "packages"));
  pkg ("global_list", fullfile (work, "global_packages"));
  global_packages = everyone;
  save ("-text", fullfile (work, "global_packages"), "global_packages");
  assert (isempty (pkg ("list", "velmora")), "the package lists of the round trip are not its own");
  started = tic;
  pkg ("install", "-local", tarball);
  printf ("pkg install took %.0f s\n", toc (started));
  info = pkg ("list", "velmora");
  assert (numel (info), 1, "velmora is not listed after pkg install");
  assert (info{1}.version, version);
  assert (strncmp (info{1}.dir, work, numel (work)), "velmora is listed in %s", info{1}.dir);

  pkg load velmora
  for f = {"VelmoraLog", "VelmoraFit", "velmora_fitgmdist", "velmora_selftest"}
    where = which (f{1});
    assert (strncmp (where, work, numel (work)), "%s resolves to %s, not to the installed package", ...
            f{1}, where);
  end
  module = which ("VelmoraLog");
  assert (strcmp (module(end-3:end), ".mex"), "VelmoraLog resolves to %s, not to a module", module);
  assert (! isempty (strfind (help ("VelmoraLog"), "VELMORALOG")), "no help text for VelmoraLog");
  assert (! isempty (strfind (help ("Velmora"), "VELMORA ")), "no help text for Velmora");
  [passed, total, ~, ~, skipped, rtskipped] = test ("velmora_selftest", "quiet", stdout);
  printf ("built-in tests of the installed package: %d of %d passed, %d skipped\n", ...
          passed, total, skipped + rtskipped);
  assert (total > 0 && passed == total, "built-in tests failed");

  pkg unload velmora
  pkg ("uninstall", "-local", "velmora");
  info = pkg ("list", "velmora");
  assert (isempty (info), "velmora is still listed after pkg uninstall");
  assert (isempty (which ("VelmoraLog")) && isempty (which ("velmora_selftest")), ...
          "functions of the package are still on the path");
end
