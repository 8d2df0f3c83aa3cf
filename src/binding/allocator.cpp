// The module's heap. The linked mimalloc archive defines malloc, free and every variant of
// operator new and delete (plain, array, aligned, nothrow, sized); the version script keeps
// them local to this module, so all of its C and C++ allocations go to mimalloc while the
// interpreter and other extensions keep their own allocator. Code in this module must never
// free() memory that the C library allocated (or the other way round).
//
// mimalloc's operator new is compiled as C: when an allocation fails and no new-handler is
// installed it calls abort(). A handler that throws std::bad_alloc, as the C++ library's own
// operator new would, keeps out-of-memory an ordinary failure of the call.
//
// The module's threads allocate from a heap of their own, in an arena mapped without
// transparent huge pages: mimalloc's default arenas ask for huge pages, and the small blocks
// of training spread over many of them, each resident whole.
#include "binding/allocator.hpp"

#include <algorithm>
#include <cstddef>
#include <new>

#include "common/page_allocator.hpp"

#if defined(QUILLMARSH_USE_MIMALLOC)
#include <mimalloc.h>
#endif

namespace quillmarsh {

#if defined(QUILLMARSH_USE_MIMALLOC)

namespace {

// Address space of the threads' arena: reserved, not used; pages cost memory once touched.
// It holds the small blocks of training and prediction with room to spare.
constexpr std::size_t kThreadArenaBytes = std::size_t{1} << 30;

// The heap over an arena of its own (no other heap allocates there), made on first use and
// kept for the rest of the process: blocks of trained forests live on in it. Null when the
// system or mimalloc refused.
mi_heap_t* thread_heap() noexcept {
  static mi_heap_t* const kHeap = []() -> mi_heap_t* {
    const std::size_t alignment = std::max(mi_arena_min_alignment(), std::size_t{2} << 20);
    void* region = map_region(kThreadArenaBytes, alignment);
    if (region == nullptr) return nullptr;
    mi_arena_id_t arena = nullptr;
    if (!mi_manage_os_memory_ex(region, kThreadArenaBytes, /*is_committed=*/true,
                                /*is_pinned=*/false, /*is_zero=*/true, /*numa_node=*/-1,
                                /*exclusive=*/true, &arena)) {
      unmap_buffer(region, kThreadArenaBytes);
      return nullptr;
    }
    return mi_heap_new_in_arena(arena);
  }();
  return kHeap;
}

// The thread's default heap before it entered the threads' heap; null while it is not in it.
thread_local mi_theap_t* default_before = nullptr;

void enter_thread_heap() noexcept {
  mi_heap_t* heap = thread_heap();
  if (heap == nullptr) return;
  mi_theap_t* own = mi_heap_theap(heap);  // this thread's part of the heap, made on first use
  if (own != nullptr) default_before = mi_theap_set_default(own);
}

// True when the thread was in the threads' heap and is now back on its default heap.
bool back_to_default_heap() noexcept {
  if (default_before == nullptr) return false;
  mi_theap_set_default(default_before);
  default_before = nullptr;
  return true;
}

void leave_thread_heap() noexcept { back_to_default_heap(); }

// operator new's handler. A heap bound to an arena never goes beyond it: a block the arena
// cannot hold (larger than it, or the arena full) sends the thread back to the default heap
// until its scope ends (a module thread's whole life), and operator new tries again there, so such
// a block succeeds or fails exactly as it would without the arena. A failure of the default heap is
// std::bad_alloc.
void on_exhausted() {
  if (back_to_default_heap()) return;
  throw std::bad_alloc();
}

}  // namespace

void install_allocation_failure_handler() noexcept {
  // Only this module's copy of the C++ library sees this handler (it is linked statically
  // and kept local), so the interpreter's process-wide state is untouched. Installing the
  // handler does not call it (cppcheck takes the address for a call).
  // cppcheck-suppress throwInNoexceptFunction
  std::set_new_handler(&on_exhausted);
}

void install_thread_heaps() noexcept {
  install_thread_heap_hooks(ThreadHeapHooks{&enter_thread_heap, &leave_thread_heap});
}

#else

// The C++ library's own operator new already throws std::bad_alloc.
void install_allocation_failure_handler() noexcept {}

void install_thread_heaps() noexcept {}

#endif

}  // namespace quillmarsh
