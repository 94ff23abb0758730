function package_round_trip (tarball, version, work)
  % Installs the package TARBALL into WORK's own prefix and package list,
  % loads it, runs its built-in tests and uninstalls it.
  pkg ("prefix", fullfile (work, "prefix"), fullfile (work, "arch"));
  pkg ("local_list", fullfile (work, "packages"));
  pkg ("install", "-local", tarball);
  info = pkg ("list", "velmora");
  assert (numel (info), 1, "velmora is not listed after pkg install");
  assert (info{1}.version, version);

  pkg load velmora
  module = which ("VelmoraLog");
  assert (strncmp (module, work, numel (work)) && strcmp (module(end-3:end), ".mex"), ...
          "VelmoraLog resolves to %s, not to the installed module", module);
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
