// Memory for the large buffers of training (the trees' row lists): each one mapped from the
// operating system on its own, with transparent huge pages declined, so that it costs the
// 4 KiB pages it touches, whatever the heap's huge-page setting, and goes back when freed.
// Also the address space of the module threads' own heap, and the hooks that switch a thread
// to it.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>

namespace quillmarsh {

// A buffer of at least this many bytes is mapped on its own; smaller ones come from the heap.
inline constexpr std::size_t kMappedBufferBytes = std::size_t{256} << 10;

// `bytes` (> 0) of zeroed, page-aligned memory in a mapping of its own, without huge pages.
// Throws std::bad_alloc when the system refuses, as operator new does.
void* map_buffer(std::size_t bytes);

// Returns what map_buffer(bytes) gave, with the same `bytes`.
void unmap_buffer(void* p, std::size_t bytes) noexcept;

// Address space for a heap arena: `bytes` at a multiple of `alignment` (a power of two, a
// multiple of the page size), without huge pages and without reserving swap, so a page costs
// memory only once touched. Nothing (no exception) when the system refuses; give it back with
// unmap_buffer(p, bytes).
void* map_region(std::size_t bytes, std::size_t alignment) noexcept;

// Where the heap memory of the threads the module starts comes from. The module installs, once
// at initialisation, a pair of functions that every thread started by spawn_detached calls:
// `enter` before its work, `leave` after it, never nested on one thread. Without them (the C++
// tests) threads use the default heap.
struct ThreadHeapHooks {
  void (*enter)() noexcept = nullptr;
  void (*leave)() noexcept = nullptr;
};
// Called before any thread starts; later calls replace the hooks for threads started after.
void install_thread_heap_hooks(ThreadHeapHooks hooks) noexcept;

// The calling thread allocates from the installed heap for the scope's lifetime: a module
// thread for its whole life, the interpreter's thread for one fit (conversion, dataset,
// collected trees), so that its blocks do not land in huge pages either. Leaving the scope,
// by return or by exception, puts the thread back on the heap it had. Scopes nest (a fit
// called from a progress callback inside a fit): only the outermost one calls the hooks.
class ThreadHeapScope {
 public:
  ThreadHeapScope() noexcept;
  ~ThreadHeapScope();
  ThreadHeapScope(const ThreadHeapScope&) = delete;
  ThreadHeapScope& operator=(const ThreadHeapScope&) = delete;

 private:
  ThreadHeapHooks hooks_;
};

// A std allocator: blocks of kMappedBufferBytes or more from map_buffer, the rest from
// operator new. deallocate receives the count of its allocate, so it always knows which.
template <class T>
struct PageAllocator {
  using value_type = T;  // NOLINT(readability-identifier-naming): the std allocator interface

  PageAllocator() noexcept = default;
  template <class U>
  PageAllocator(const PageAllocator<U>& /*other*/) noexcept {}

  static bool mapped(std::size_t n) noexcept { return n >= kMappedBufferBytes / sizeof(T); }

  T* allocate(std::size_t n) {
    if (!mapped(n)) return std::allocator<T>().allocate(n);
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(map_buffer(n * sizeof(T)));
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (mapped(n)) {
      unmap_buffer(p, n * sizeof(T));
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }

  template <class U>
  bool operator==(const PageAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

}  // namespace quillmarsh
