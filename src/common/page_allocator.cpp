// Mapped buffers: anonymous private mappings, advised away from transparent huge pages. The
// heap (mimalloc) backs its arenas with huge pages where the system allows, and then every
// 2 MiB region a buffer reaches is resident whole; the advice is scoped to these mappings, so
// the rest of the process keeps its setting. The same advice covers the region that the
// module's threads take their heap from.
#include "common/page_allocator.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>

namespace quillmarsh {

void* map_buffer(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_NOHUGEPAGE)
  // Only advice: where the kernel has no huge pages it fails, and the mapping is as asked.
  (void)::madvise(p, bytes, MADV_NOHUGEPAGE);
#endif
  return p;
}

void unmap_buffer(void* p, std::size_t bytes) noexcept { (void)::munmap(p, bytes); }

void* map_region(std::size_t bytes, std::size_t alignment) noexcept {
  if (bytes == 0 || alignment == 0 || bytes > SIZE_MAX - alignment) return nullptr;
  // Map `alignment` more than asked, then return the unaligned head and the tail.
  const std::size_t spare = bytes + alignment;
  void* p = ::mmap(nullptr, spare, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto* base = static_cast<char*>(p);
  const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(p) % alignment;
  const std::size_t head = misalignment == 0 ? 0 : alignment - misalignment;
  char* region = base + head;
  if (head > 0) (void)::munmap(base, head);
  if (const std::size_t tail = spare - head - bytes; tail > 0) {
    (void)::munmap(region + bytes, tail);
  }
#if defined(MADV_NOHUGEPAGE)
  (void)::madvise(region, bytes, MADV_NOHUGEPAGE);
#endif
  return region;
}

namespace {
// Written once at module initialisation, before any thread of the module starts; read by
// every thread it starts.
std::atomic<void (*)() noexcept> heap_enter{nullptr};
std::atomic<void (*)() noexcept> heap_leave{nullptr};
// ThreadHeapScopes open on this thread.
thread_local unsigned scopes_open = 0;
}  // namespace

void install_thread_heap_hooks(ThreadHeapHooks hooks) noexcept {
  heap_leave.store(hooks.leave, std::memory_order_release);
  heap_enter.store(hooks.enter, std::memory_order_release);
}

ThreadHeapScope::ThreadHeapScope() noexcept {
  if (scopes_open++ > 0) return;  // an inner scope: the thread is already where it should be
  hooks_ = ThreadHeapHooks{heap_enter.load(std::memory_order_acquire),
                           heap_leave.load(std::memory_order_acquire)};
  if (hooks_.enter != nullptr) hooks_.enter();
}

ThreadHeapScope::~ThreadHeapScope() {
  --scopes_open;
  if (hooks_.leave != nullptr) hooks_.leave();
}

}  // namespace quillmarsh
