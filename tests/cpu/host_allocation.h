// Test-only failure of host array allocations: the n-th `new[]` from now,
// throwing or nothrow, fails as it would with the host's memory exhausted.
#pragma once

namespace host_allocation {

void fail_array_new(int n);
void reset();

}  // namespace host_allocation
