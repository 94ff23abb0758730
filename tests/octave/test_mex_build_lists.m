% The build without CMake (matlab/velmora_mex_build.m, which the README
% gives MATLAB users) compiles each module from the sources this build
% compiles it from: a source added here and not there fails to link there.
here = fileparts (mfilename ("fullpath"));
addpath (fullfile (here, "..", "..", "matlab"));
lists = velmora_mex_build ([], "lists");
fid = fopen (fullfile (fileparts (fileparts (which ("Velmora"))), "module_sources.txt"));
assert (fid >= 0, "module_sources.txt is missing beside the build's module folders");
lines = strsplit (strtrim (fread (fid, [1, Inf], "*char")), "\n");
fclose (fid);
assert (numel (lines), numel (fieldnames (lists)));
for l = 1:numel (lines)
  words = strsplit (strtrim (lines{l}), " ");
  name = words{1};
  assert (isfield (lists, name), "velmora_mex_build has no list for %s", name);
  cmake = unique (words(2:end));
  mine = unique (lists.(name));
  missing = setdiff (cmake, mine);
  extra = setdiff (mine, cmake);
  if (! isempty (missing) || ! isempty (extra))
    error ("%s: velmora_mex_build lacks {%s} and has {%s} beyond the CMake build", name, ...
           strjoin (missing, ", "), strjoin (extra, ", "));
  end
  for f = 1:numel (mine)
    assert (exist (fullfile (here, "..", "..", mine{f}), "file") == 2, "%s is not a file", mine{f});
  end
end
% An unknown device is refused before anything is built.
try
  velmora_mex_build (tempname (), "gpu");
  error ("a device 'gpu' was accepted");
catch err
  assert (err.message, "velmora_mex_build: the device is 'cpu' or 'cuda', not 'gpu'.");
end
