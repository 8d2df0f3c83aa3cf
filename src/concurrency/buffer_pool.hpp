// A thread-safe pool of reusable row lists. A list taken from the pool is empty with room for
// at least 1024 positions; when its last holder lets go it is emptied (keeping its storage)
// and handed out again by a later take(). Lists outliving the pool are simply freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmarsh {

// Row positions into a Dataset. Intake refuses data with more than 2^31 - 1 rows.
using RowIndex = std::uint32_t;
using RowVector = std::vector<RowIndex>;
// A shared row list; fill it before sharing it, read it only afterwards.
using RowList = std::shared_ptr<RowVector>;

inline constexpr std::size_t kRowListInitialCapacity = 1024;

class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  static std::shared_ptr<BufferPool> create();
  RowList take();
  std::size_t idle_count() const;  // lists waiting for reuse

 private:
  BufferPool() = default;
  void give_back(RowVector* list) noexcept;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<RowVector>> idle_;
};

}  // namespace quillmarsh
