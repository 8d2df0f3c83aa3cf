// Mapped buffers: anonymous private mappings, advised away from transparent huge pages. The
// heap (mimalloc) backs its arenas with huge pages where the system allows, and then every
// 2 MiB region a buffer reaches is resident whole; the advice is scoped to these mappings, so
// the rest of the process keeps its setting.
#include "common/page_allocator.hpp"

#include <sys/mman.h>

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

}  // namespace quillmarsh
