// Small services of the operating system that the upper layers need, with one implementation per
// platform (OsServices.cpp for POSIX, OsServices_win.cpp for Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qorvin {

// The local wall clock as a date-time: days since 1899-12-30, the fraction being the time of
// day, in the process's time zone (daylight saving included).
double LocalDateTimeNow();

// Names the calling thread for debuggers and process listings. Best effort: the platform may
// keep only the first 15 characters, and a failure is ignored.
void NameCurrentThread(const std::string& name);

// How many cores the calling thread may run on (its affinity: fewer than the machine has when the
// process is confined by taskset, cgroups' cpusets or a job object), at least 1.
int AvailableCores();

// The machine's physical memory in bytes; 0 when the platform does not say.
int64_t PhysicalMemoryBytes();

// The operating system's text for an error code of its own (errno on POSIX, a system error code
// on Windows), without a trailing line break.
std::string SystemErrorMessage(uint32_t code);

// Tells the memory manager that [block, block + size) is one large buffer written through once,
// so that it may back it with large pages (far fewer page faults on first touch). The hint
// covers the whole pages the range touches, so give it only blocks that have their pages to
// themselves: the allocator maps a block of 32 MiB or more on its own. A hint the platform does
// not take is ignored; the block keeps its contents and is freed as before.
void AdviseLargeBuffer(void* block, size_t size);

// Makes the whole pages inside [block, block + size) present and writable without changing
// their contents, so that a writer filling them later does not stop to fault each one in. Safe
// while another thread writes into the same pages. False when the platform cannot do it, so
// that the caller stops asking.
bool PrefaultForWrite(void* block, size_t size);

}  // namespace qorvin
