// Allocation failures of the module's own heap.
#pragma once

namespace quillmarsh {

// Makes operator new report exhaustion with std::bad_alloc (which the call boundary turns
// into PanicException) instead of ending the process.
void install_allocation_failure_handler() noexcept;

// Gives the threads the module starts (training, worker pool, prediction) a heap of their own
// in an arena without transparent huge pages, so that their many small blocks cost the 4 KiB
// pages they touch; the interpreter's thread enters it only for the length of a fit (a
// ThreadHeapScope), and the rest of the process keeps mimalloc's default heap and its
// huge-page setting. Scopes nest: only the outermost one switches heaps. Without mimalloc
// (sanitizer builds), or when the system refuses the arena's address space, the threads keep the
// default heap.
void install_thread_heaps() noexcept;

}  // namespace quillmarsh
