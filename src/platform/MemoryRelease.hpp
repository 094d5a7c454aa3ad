#pragma once

namespace velorinth {

// Hands the pages of freed heap memory back to the system. The allocator
// keeps the freed holes of a flooded session's queues (small control
// messages, video fragments) and of a flood's TLS engines mapped, up to
// hundreds of megabytes, until asked. Takes each arena's lock while it
// returns that arena's pages (about 20 ms for 100 MB): call it rarely, and off
// the event loop (MemoryReleaseScheduler).
void returnFreedMemoryToSystem() noexcept;

// Keeps every block of 128 KiB or more in a mapping of its own, unmapped as it
// is freed. glibc otherwise raises that bound to the largest such block freed
// (a stream's capture buffers and x264's pictures, megabytes each), and from
// then on those come from the threads' arenas, whose free tops stay resident
// where returnFreedMemoryToSystem does not reach. For the whole process.
void keepLargeBlocksMapped() noexcept;

} // namespace velorinth
