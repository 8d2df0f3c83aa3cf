// The vocabulary of training rows: positions into a Dataset, row lists and their pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/page_allocator.hpp"
#include "concurrency/buffer_pool.hpp"

namespace quillmarsh {

// Row positions into a Dataset. Intake refuses data with more than 2^31 - 1 rows.
using RowIndex = std::uint32_t;
// Row lists of a large tree are mapped on their own (page_allocator.hpp), out of the heap.
using RowVector = std::vector<RowIndex, PageAllocator<RowIndex>>;
using RowPool = BufferPool<RowIndex, PageAllocator<RowIndex>>;
// A shared row list, taken from a RowPool.
using RowList = RowPool::Handle;
// The packed group-and-outcome words (Dataset::group_outcome) of a row list's rows, one per row
// in the same order. Words are 32 bits like positions, so they come from the same pool.
using WordList = RowPool::Handle;

// A row list the pool creates starts with room for this many positions.
inline constexpr std::size_t kRowListInitialCapacity = 1024;

}  // namespace quillmarsh
