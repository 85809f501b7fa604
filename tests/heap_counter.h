// Live heap allocations of the test process, counted by replacing the global
// allocation functions.
#pragma once

#include <cstddef>

struct HeapUse {
  long long blocks;
  long long bytes;
  bool operator==(const HeapUse&) const = default;
};

HeapUse CurrentHeapUse();
