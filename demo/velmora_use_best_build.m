function [device, on_gpu] = velmora_use_best_build (build_dir)
  % The demo's modules: the CUDA build of build_dir where it answers (a GPU
  % is there), else its CPU device. The probe asks for P, as every call of
  % Velmora must: without an output the module refuses the call, and a GPU
  % would never be found. Its report of memory and time is not shown.
  cuda = fullfile (build_dir, "cuda");
  if (exist (fullfile (cuda, "Velmora.mex"), "file"))
    addpath (cuda);
    try
      evalc ("P = Velmora (1, 0, 1, 1);");
      device = "the GPU";
      on_gpu = true;
      return;
    catch
      clear Velmora;
      rmpath (cuda);
    end
  end
  addpath (fullfile (build_dir, "cpu"));
  device = "the CPU device (no GPU found)";
  on_gpu = false;
end
