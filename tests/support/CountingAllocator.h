// Counts every call of the global operator new made by the program that links
// CountingAllocator.cpp (which replaces it), so that a test or a benchmark can
// check that a real-time path allocates nothing. Any thread.
#pragma once

namespace vbz_test {
long allocationCount();
}
