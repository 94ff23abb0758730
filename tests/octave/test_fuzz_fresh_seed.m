% The fuzz run under a seed that changes every run, so that CI explores new
% calls each time; the seed is printed first for a replay.
fuzz_velmora (10000, mod (floor (time () * 1000), 2^31 - 1));
