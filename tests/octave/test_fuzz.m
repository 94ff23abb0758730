% The CI-sized fuzz run of the real MEX: 10,000 calls under a fixed seed.
% For a longer run: octave-cli --eval "addpath(...); fuzz_velmora(1e6, 7)".
fuzz_velmora (10000, 20261207);
