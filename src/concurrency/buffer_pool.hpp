// A thread-safe pool of reusable buffers. A buffer taken from the pool is empty with room for
// at least the pool's initial capacity; when its last holder lets go it is emptied (keeping
// its storage) and handed out again by a later take(). Buffers outliving the pool are freed.
// Alloc is the buffers' allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmarsh {

template <class T, class Alloc = std::allocator<T>>
class BufferPool : public std::enable_shared_from_this<BufferPool<T, Alloc>> {
 public:
  using Buffer = std::vector<T, Alloc>;
  // A shared buffer; fill it before sharing it, read it only afterwards.
  using Handle = std::shared_ptr<Buffer>;

  static std::shared_ptr<BufferPool> create(std::size_t initial_capacity) {
    return std::shared_ptr<BufferPool>(new BufferPool(initial_capacity));
  }

  Handle take() {
    std::unique_ptr<Buffer> buffer;
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        buffer = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    if (!buffer) {
      buffer = std::make_unique<Buffer>();
      buffer->reserve(initial_capacity_);
    }
    std::weak_ptr<BufferPool> home = this->weak_from_this();
    return Handle(buffer.release(), [home](Buffer* b) {
      if (std::shared_ptr<BufferPool> pool = home.lock()) {
        pool->give_back(b);
      } else {
        delete b;
      }
    });
  }

  // Buffers waiting for reuse.
  std::size_t idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
  }

 private:
  explicit BufferPool(std::size_t initial_capacity) : initial_capacity_(initial_capacity) {}

  void give_back(Buffer* buffer) noexcept {
    buffer->clear();
    std::unique_ptr<Buffer> owned(buffer);
    try {
      std::lock_guard lock(mutex_);
      idle_.push_back(std::move(owned));
    } catch (...) {  // NOLINT(bugprone-empty-catch): a buffer that cannot be kept is just freed
    }
  }

  std::size_t initial_capacity_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Buffer>> idle_;
};

}  // namespace quillmarsh
