% The demo's choice of build: the CUDA folder where its Velmora answers,
% the CPU device's where it does not. A module that answers stands in for
% a GPU here: the CPU build's own, copied into cuda/.
1;
function root = fake_build (top, name, built)
  root = fullfile (top, name);
  mkdir (root);
  mkdir (fullfile (root, "cpu"));
  mkdir (fullfile (root, "cuda"));
  copyfile (fullfile (built, "Velmora.mex"), fullfile (root, "cpu"));
end

built = fileparts (which ("Velmora"));
old_path = path ();
top = tempname ();
mkdir (top);
unwind_protect
  % A cuda/ whose module answers is taken.
  root = fake_build (top, "answers", built);
  copyfile (fullfile (built, "Velmora.mex"), fullfile (root, "cuda"));
  clear Velmora;
  [device, on_gpu] = velmora_use_best_build (root);
  assert (on_gpu, true);
  assert (device, "the GPU");
  assert (fileparts (which ("Velmora")), fullfile (root, "cuda"));

  % One that cannot load is left, and off the path. (Another folder: a
  % loaded module's file stays mapped, and is not written over.)
  path (old_path);
  clear Velmora;
  root = fake_build (top, "fails", built);
  fid = fopen (fullfile (root, "cuda", "Velmora.mex"), "w");
  fputs (fid, "not a module");
  fclose (fid);
  [device, on_gpu] = velmora_use_best_build (root);
  assert (on_gpu, false);
  assert (device, "the CPU device (no GPU found)");
  assert (fileparts (which ("Velmora")), fullfile (root, "cpu"));
  assert (isempty (strfind (path (), fullfile (root, "cuda"))));
unwind_protect_cleanup
  path (old_path);
  clear Velmora;
  confirm_recursive_rmdir (false, "local");
  rmdir (top, "s");
end_unwind_protect
