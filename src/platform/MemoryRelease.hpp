#pragma once

namespace velorinth {

// Hands the pages of freed heap memory back to the system. The allocator
// keeps the freed holes of a flooded session's queues (small control
// messages, video fragments) mapped, several megabytes of them, until asked.
// Takes the allocator's locks for about a millisecond: call it rarely.
void returnFreedMemoryToSystem() noexcept;

} // namespace velorinth
