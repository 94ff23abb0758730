// Small VelmoraLog problems for compute-sanitizer: full mode with
// posteriors, diagonal mode past one coordinate tile (dim > 64), and both
// again in forced chunks; every result is checked, so that a kernel that
// runs clean under the tool but computes wrong still fails.
#pragma once

namespace bench {

// Prints one line per problem; returns the number that failed.
int Check_Small_Problems();

}  // namespace bench
