// How many allocator arenas the server's threads share.
#pragma once

namespace qorvin::server {

// Caps glibc's malloc arenas at one per core (at least two). Call once, before any thread is
// started.
//
// Why: glibc gives each allocating thread an arena of its own, up to eight per core, and a
// thread's freed memory stays in its arena for that thread to reuse. With 16 workers taking
// requests in turn, the heap grows to every worker's peak at once: 16 arenas of ~1.5 MB each,
// of which ~100 kB is in use, and it keeps growing as the load moves between workers. Fewer
// arenas than workers costs little: no more threads run at once than there are cores.
void LimitHeapArenas();

}  // namespace qorvin::server
