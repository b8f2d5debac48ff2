// Counts the heap bytes a test program holds, so that a test can assert how much memory an
// operation claimed at its peak (never how long it took).
//
// The meter interposes the C allocation functions of the whole test program (operator new, zlib
// and TMemoryStream all end in them) and keeps the bytes in use and the highest value since the
// last reset. It is unavailable under AddressSanitizer, which owns those functions; tests then
// skip their memory assertions.
#pragma once

#include <cstdint>

namespace qorvin::test {

// Whether the meter counts in this build.
bool AllocationMeterAvailable();

// Measures the peak of the bytes held, above what was held when it was made, until it is read.
// One thread may run a measured operation at a time; other threads' allocations count too.
class PeakAllocation {
 public:
  PeakAllocation();
  // Highest bytes held since construction, minus the bytes held at construction.
  int64_t PeakBytes() const;

 private:
  int64_t baseline_;
};

}  // namespace qorvin::test
