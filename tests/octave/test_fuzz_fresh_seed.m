% The fuzz runs under a seed that changes every run, so that CI explores new
% calls each time; the seed is printed first for a replay.
seed = mod (floor (time () * 1000), 2^31 - 1);
fuzz_velmora (10000, seed);
fuzz_velmora (10000, seed, "VelmoraLog");
