#include "common/page_allocator.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace quillmarsh {
namespace {

// The VmFlags line of the mapping that holds `p`, from /proc/self/smaps ("" if none does).
std::string mapping_flags(const void* p) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = begin <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return "";
}

bool kernel_has_huge_pages() {
  return std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled").good();
}

bool is_mapped(void* p) {
  unsigned char resident = 0;
  return ::mincore(p, 1, &resident) == 0 || errno != ENOMEM;
}

class MappedBuffer : public testing::TestWithParam<std::size_t> {};

// Every size a buffer may have: a page, not a whole number of pages, several huge pages.
INSTANTIATE_TEST_SUITE_P(Sizes, MappedBuffer,
                         testing::Values(std::size_t{1}, std::size_t{4096}, kMappedBufferBytes + 3,
                                         std::size_t{5} << 20));

TEST_P(MappedBuffer, IsZeroedPageAlignedWritableAndWithoutHugePagesUntilUnmapped) {
  const std::size_t bytes = GetParam();
  auto* p = static_cast<unsigned char*>(map_buffer(bytes));
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % page, 0u);
  std::size_t nonzero = 0;
  for (std::size_t i = 0; i < bytes; ++i) nonzero += p[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  const auto pattern = [](std::size_t i) { return static_cast<unsigned char>(i * 31u + 7u); };
  for (std::size_t i = 0; i < bytes; ++i) p[i] = pattern(i);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < bytes; ++i) wrong += p[i] != pattern(i);
  EXPECT_EQ(wrong, 0u);
  if (kernel_has_huge_pages()) {
    EXPECT_NE(mapping_flags(p).find(" nh"), std::string::npos);
  }
  unmap_buffer(p, bytes);
  EXPECT_FALSE(is_mapped(p));
}

// The allocator's two sources: vectors grown across the size from which buffers are mapped
// keep their contents, and each block goes back where it came from (a block freed to the
// wrong source would crash here or fail the sanitizer runs).
TEST(PageAllocator, VectorsGrownAcrossTheMappedSizeKeepTheirValues) {
  const std::size_t n = 3 * kMappedBufferBytes / sizeof(std::uint32_t);
  std::vector<std::uint32_t, PageAllocator<std::uint32_t>> v;
  for (std::uint32_t i = 0; i < n; ++i) v.push_back(i * 7u);
  EXPECT_TRUE(PageAllocator<std::uint32_t>::mapped(v.capacity()));
  EXPECT_FALSE(PageAllocator<std::uint32_t>::mapped(n / 16));
  std::size_t wrong = 0;
  for (std::uint32_t i = 0; i < n; ++i) wrong += v[i] != i * 7u;
  EXPECT_EQ(wrong, 0u);
  if (kernel_has_huge_pages()) {
    EXPECT_NE(mapping_flags(v.data()).find(" nh"), std::string::npos);
  }
  v.resize(10);
  v.shrink_to_fit();
  EXPECT_EQ(v[9], 63u);
}

// Exhaustion is std::bad_alloc, as from operator new, so it takes the same way out of a call.
TEST(PageAllocator, RefusedMemoryThrowsBadAlloc) {
  EXPECT_THROW(map_buffer(std::size_t{1} << 62), std::bad_alloc);
  EXPECT_THROW(PageAllocator<std::uint64_t>().allocate(std::size_t{1} << 61), std::bad_alloc);
}

struct RegionCase {
  std::size_t bytes;
  std::size_t alignment;
};

class MappedRegion : public testing::TestWithParam<RegionCase> {};

// A page at a page; a heap arena's usual alignments; address space far beyond what is touched.
INSTANTIATE_TEST_SUITE_P(Shapes, MappedRegion,
                         testing::Values(RegionCase{4096, 4096},
                                         RegionCase{std::size_t{3} << 20, std::size_t{2} << 20},
                                         RegionCase{std::size_t{1} << 30, std::size_t{64} << 10},
                                         RegionCase{std::size_t{8} << 30, std::size_t{32} << 20}));

TEST_P(MappedRegion, IsAlignedZeroedWritableReservesNoSwapAndDeclinesHugePages) {
  const RegionCase c = GetParam();
  auto* p = static_cast<unsigned char*>(map_region(c.bytes, c.alignment));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % c.alignment, 0u);
  // Its first and last pages (only those: the rest is never touched, so never resident).
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t last = c.bytes - page;
  std::size_t nonzero = 0;
  for (std::size_t i = 0; i < page; ++i) {
    nonzero += (p[i] != 0 ? 1u : 0u) + (p[last + i] != 0 ? 1u : 0u);
  }
  EXPECT_EQ(nonzero, 0u);
  p[0] = 1;
  p[last + page - 1] = 2;
  EXPECT_EQ(p[0] + p[last + page - 1], 3);
  const std::string flags = mapping_flags(p);
  EXPECT_NE(flags.find(" nr"), std::string::npos) << flags;
  if (kernel_has_huge_pages()) {
    EXPECT_NE(flags.find(" nh"), std::string::npos) << flags;
  }
  unmap_buffer(p, c.bytes);
  EXPECT_FALSE(is_mapped(p));
}

TEST(MappedRegion, RefusedAddressSpaceIsNothing) {
  EXPECT_EQ(map_region(std::size_t{1} << 62, 4096), nullptr);
  EXPECT_EQ(map_region(SIZE_MAX - 4095, 8192), nullptr);
  EXPECT_EQ(map_region(0, 4096), nullptr);
}

}  // namespace
}  // namespace quillmarsh
