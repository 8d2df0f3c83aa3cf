// The buffer pool: idle row lists behind one mutex; a list's deleter brings it back.
#include "concurrency/buffer_pool.hpp"

namespace quillmarsh {

std::shared_ptr<BufferPool> BufferPool::create() {
  return std::shared_ptr<BufferPool>(new BufferPool());
}

RowList BufferPool::take() {
  std::unique_ptr<RowVector> list;
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      list = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (!list) {
    list = std::make_unique<RowVector>();
    list->reserve(kRowListInitialCapacity);
  }
  std::weak_ptr<BufferPool> home = weak_from_this();
  return RowList(list.release(), [home](RowVector* l) {
    if (std::shared_ptr<BufferPool> pool = home.lock()) {
      pool->give_back(l);
    } else {
      delete l;
    }
  });
}

void BufferPool::give_back(RowVector* list) noexcept {
  list->clear();
  std::unique_ptr<RowVector> owned(list);
  try {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(owned));
  } catch (...) {  // NOLINT(bugprone-empty-catch): a list that cannot be kept is just freed
    // No room to keep it: owned frees the list.
  }
}

std::size_t BufferPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

}  // namespace quillmarsh
