% The CI-sized fuzz runs of the real MEX files: 10,000 calls each under a
% fixed seed. For a longer run: fuzz_velmora(1e6, 7) or
% fuzz_velmora(1e6, 7, "VelmoraLog").
fuzz_velmora (10000, 20261207);
fuzz_velmora (10000, 20261207, "VelmoraLog");
