function result = velmora_mex_build (out, device)
  % VELMORA_MEX_BUILD  The modules without CMake, with MATLAB's mex or Octave's mkoctfile.
  %
  %   velmora_mex_build(OUT)          % from the top of the sources
  %   velmora_mex_build(OUT, 'cuda')  % MATLAB's mexcuda, for a GPU
  %   lists = velmora_mex_build([], 'lists')
  %
  %   Builds Velmora, VelmoraLog, VelmoraFit and velmora_fit_block into the
  %   folder OUT (made if missing) and copies the .m files beside them; then
  %   addpath(OUT). 'cpu' (the default) builds them over the CPU device,
  %   which needs g++ 10 or newer, OpenBLAS and Boost.Context (Debian:
  %   libopenblas-dev, libboost-context-dev); in MATLAB with mex, in Octave
  %   with mkoctfile --mex. 'cuda' builds them for a GPU with mexcuda (MATLAB
  %   only; the CUDA toolkit version that your release supports), for the
  %   GPU architecture in the environment variable VELMORA_CUDA_ARCH (90 when
  %   unset: an H100 or H200).
  %
  %   For the CPU device each source is compiled once, into OUT/objects,
  %   and the modules are linked from them; mexcuda compiles each module's
  %   sources itself. The sources are those of the CMake build (the tests
  %   compare the lists), with one set of flags for every file: -O3, no
  %   contraction of a*b+c into an fma (a point's bits do not depend on
  %   where the compiler found one), and AVX2 with FMA where this machine has
  %   both. In Octave, CXXFLAGS is set for mkoctfile while it builds, and
  %   given back its value after.
  %
  %   lists = velmora_mex_build([], 'lists') returns, without building, a
  %   struct of each module's sources and the CPU device's, relative to the
  %   top of the sources.
  if (nargin < 2)
    device = 'cpu';
  end
  lists = source_lists ();
  if (strcmp (device, 'lists'))
    result = lists;
    return;
  end
  if (~any (strcmp (device, {'cpu', 'cuda'})))
    error ('velmora_mex_build: the device is ''cpu'' or ''cuda'', not ''%s''.', device);
  end
  if (~exist (fullfile (pwd, 'engine', 'host_fit.cpp'), 'file'))
    error ('velmora_mex_build: run it from the top of Velmora''s sources (%s is not).', pwd);
  end
  octave = exist ('OCTAVE_VERSION', 'builtin') ~= 0;
  if (strcmp (device, 'cuda') && octave)
    error ('velmora_mex_build: the GPU build without CMake is MATLAB''s mexcuda; in Octave, build with CMake (README).');
  end
  if (~exist (out, 'dir'))
    mkdir (out);
  end
  if (strcmp (device, 'cpu'))
    build_cpu (out, lists, octave);
  else
    build_cuda (out, lists);
  end
  copyfile (fullfile ('mex', '*.m'), out);
  result = out;
end

% Each module's sources; the .cu files are device code, C++ for the CPU
% device. Kept in step with CMakeLists.txt by the tests.
function lists = source_lists ()
  log_kernels = {'engine/diagonal.cu', 'engine/full.cu', 'engine/chunks.cu'};
  fit_kernels = {'engine/diagonal.cu', 'engine/full.cu', 'engine/statistics.cu'};
  host_engine = {'engine/host_panels.cpp', 'engine/host_wide.cpp', 'engine/engine_choice.cpp'};
  fit_host = {'engine/fit.cpp', 'engine/unit_tree.cpp', 'engine/fit_device.cpp', ...
              'engine/host_fit.cpp', 'mex/VelmoraFit.cpp', 'engine/factorise.cpp', ...
              host_engine{:}, 'mex/gateway_inputs.cpp'};
  lists = struct ();
  lists.Velmora = {'matrix_ops/MatrixOperations_Double.cu', 'mex/Velmora.cu'};
  lists.VelmoraLog = [log_kernels, {'engine/factorise.cpp', 'engine/host_log.cpp'}, host_engine, ...
                      {'mex/VelmoraLog.cpp', 'mex/gateway_inputs.cpp', 'mex/VelmoraLog_mex.cpp'}];
  lists.VelmoraFit = [fit_kernels, fit_host, {'mex/VelmoraFit_mex.cpp'}];
  lists.velmora_fit_block = [fit_kernels, fit_host, {'mex/fit_blocks.cpp', 'mex/velmora_fit_block.cpp'}];
  lists.cpu_device = strcat ('cpu_device/src/', {'runtime.cpp', 'launch.cpp', 'fiber.cpp', ...
                                                 'worker_pool.cpp', 'cublas.cpp', ...
                                                 'cublas_v2.cpp', 'race_check.cpp'});
end

function build_cpu (out, lists, octave)
  objects = fullfile (out, 'objects');
  if (~exist (objects, 'dir'))
    mkdir (objects);
  end
  flags = '-std=c++20 -O3 -ffp-contract=off -Wno-psabi';
  if (has_avx2_fma ())
    flags = [flags, ' -mavx2 -mfma'];
  end
  includes = {'-Icpu_device/include', '-Imatrix_ops', '-Imex', '-Iengine', ...
              '-I/usr/include/x86_64-linux-gnu', '-I/usr/include/openblas'};
  % libstdc++ by name: MATLAB's mex links objects alone with the C driver.
  libraries = {'-lopenblas', '-lboost_context', '-lpthread', '-lstdc++'};
  if (octave)
    % Only mexFunction leaves a module: the CPU device must not meet the
    % host's symbols.
    includes{end + 1} = '-DVELMORA_OCTAVE';
    libraries = [libraries, {'-Wl,-Bsymbolic', '-Wl,--version-script=octave/mex_exports.map'}];
    % mkoctfile takes its flags from the environment: set for the build,
    % given back after.
    old_flags = getenv ('CXXFLAGS');
    restore = onCleanup (@() restore_flags (old_flags));
    setenv ('CXXFLAGS', flags);
  end
  modules = {'Velmora', 'VelmoraLog', 'VelmoraFit', 'velmora_fit_block'};
  made = struct ();
  for m = 1:numel (modules)
    files = [lists.(modules{m}), lists.cpu_device];
    linked = cell (1, numel (files));
    for f = 1:numel (files)
      [object, made] = compile_once (files{f}, objects, made, flags, includes, octave);
      linked{f} = object;
    end
    fprintf ('velmora_mex_build: linking %s\n', modules{m});
    if (octave)
      run_mkoctfile ([{'--mex', '-o', fullfile(out, [modules{m}, '.mex'])}, linked, libraries]);
    else
      mex ('-R2017b', '-outdir', out, '-output', modules{m}, linked{:}, libraries{:});
    end
  end
end

% A source's object, compiled on its first use: the kernels serve three
% modules, the CPU device four. A .cu file goes through a one-line C++
% wrapper, so that the same file is nvcc's in the GPU build.
function [object, made] = compile_once (file, objects, made, flags, includes, octave)
  [folder, stem, ext] = fileparts (file);
  key = matlab.lang.makeValidName ([folder, '_', stem, ext]);
  if (isfield (made, key))
    object = made.(key);
    return;
  end
  source = file;
  if (strcmp (ext, '.cu'))
    source = fullfile (objects, [key, '.cpp']);
    fid = fopen (source, 'w');
    fprintf (fid, '#include "%s"\n', fullfile (pwd, file));
    fclose (fid);
  end
  object = fullfile (objects, [key, '.o']);
  fprintf ('velmora_mex_build: compiling %s\n', file);
  if (octave)
    run_mkoctfile ([{'--mex', '-c', source, '-o', object}, includes]);
  else
    mex ('-R2017b', '-c', '-outdir', objects, ['CXXFLAGS=$CXXFLAGS ', flags], includes{:}, source);
    [~, base] = fileparts (source);
    produced = fullfile (objects, [base, '.o']);
    if (~strcmp (produced, object))
      movefile (produced, object);
    end
  end
  made.(key) = object;
end

% CXXFLAGS as it was (unset where it was empty: mkoctfile takes an empty
% value for its own).
function restore_flags (old)
  if (isempty (old))
    unsetenv ('CXXFLAGS');
  else
    setenv ('CXXFLAGS', old);
  end
end

function run_mkoctfile (args)
  [output, status] = mkoctfile (args{:});
  if (status ~= 0)
    error ('velmora_mex_build: mkoctfile %s failed:\n%s', strjoin (args, ' '), output);
  end
end

function yes = has_avx2_fma ()
  yes = false;
  fid = fopen ('/proc/cpuinfo');
  if (fid < 0)
    return;
  end
  text = fread (fid, [1, Inf], '*char');
  fclose (fid);
  yes = ~isempty (regexp (text, '\<avx2\>', 'once')) && ~isempty (regexp (text, '\<fma\>', 'once'));
end

function build_cuda (out, lists)
  arch = getenv ('VELMORA_CUDA_ARCH');
  if (isempty (arch))
    arch = '90';
  end
  common = {'-R2017b', '-outdir', out, '-Imatrix_ops', '-Imex', '-Iengine', ...
            '-I/usr/include/x86_64-linux-gnu', '-I/usr/include/openblas', ...
            ['NVCCFLAGS=$NVCCFLAGS -std=c++17 -fmad=false -Xcompiler=-ffp-contract=off ', ...
             sprintf('-gencode=arch=compute_%s,code=sm_%s', arch, arch)], ...
            'CXXFLAGS=$CXXFLAGS -std=c++20 -O3 -ffp-contract=off', '-lopenblas'};
  % Only Velmora's products call cuBLAS.
  mexcuda (common{:}, '-output', 'Velmora', lists.Velmora{:}, '-lcublas');
  for name = {'VelmoraLog', 'VelmoraFit', 'velmora_fit_block'}
    mexcuda (common{:}, '-output', name{1}, lists.(name{1}){:});
  end
end
