#include "concurrency/rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

namespace quillmarsh {
namespace {

// The ChaCha20 block of the published test vector: key 00..1f, block count 1,
// nonce 00:00:00:09:00:00:00:4a:00:00:00:00 (same block function, 20 rounds).
TEST(ChaChaBlock, MatchesPublishedTwentyRoundVector) {
  const std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                               0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                               0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                               0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  const std::array<std::uint32_t, 16> expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha_block(input, 20), expected);
}

// All-zero key, nonce and counter: the keystream starts 76 b8 e0 ad a0 f1 3d 90 ...
TEST(ChaChaBlock, MatchesZeroKeyKeystream) {
  const std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  const auto out = chacha_block(input, 20);
  EXPECT_EQ(out[0], 0xade0b876u);
  EXPECT_EQ(out[1], 0x903df1a0u);
  EXPECT_EQ(out[2], 0xe56a5d40u);
  EXPECT_EQ(out[3], 0x28bd8653u);
}

TEST(ChaChaBlock, RoundCountChangesTheOutput) {
  const std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 1};
  EXPECT_NE(chacha_block(input, 12), chacha_block(input, 20));
  EXPECT_NE(chacha_block(input, 12), chacha_block(input, 8));
}

TEST(SeededRng, IsDeterministicPerSeed) {
  Rng a(42), b(42), c(43);
  std::vector<std::uint64_t> va, vb, vc;
  for (int i = 0; i < 100; ++i) {
    va.push_back(a.next_u64());
    vb.push_back(b.next_u64());
    vc.push_back(c.next_u64());
  }
  EXPECT_EQ(va, vb);
  EXPECT_NE(va, vc);
}

// Chi-squared goodness of fit of below(bound) over every residue; 99.99% critical values.
class Uniformity : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(Uniformity, BelowHitsEveryValueEvenly) {
  const std::uint64_t bound = GetParam();
  Rng rng(bound * 7919);
  const std::uint64_t draws = bound * 2000;
  std::vector<double> counts(bound, 0.0);
  for (std::uint64_t i = 0; i < draws; ++i) {
    const std::uint64_t v = rng.below(bound);
    ASSERT_LT(v, bound);
    counts[v] += 1.0;
  }
  const double expected = 2000.0;
  double chi2 = 0.0;
  for (double c : counts) chi2 += (c - expected) * (c - expected) / expected;
  const double dof = static_cast<double>(bound - 1);
  // Wilson-Hilferty bound for the 99.99% quantile.
  const double z = 3.719;
  const double limit =
      dof * std::pow(1.0 - 2.0 / (9.0 * dof) + z * std::sqrt(2.0 / (9.0 * dof)), 3);
  EXPECT_LT(chi2, limit) << "bound " << bound;
}
INSTANTIATE_TEST_SUITE_P(Bounds, Uniformity, ::testing::Values(2, 3, 7, 10, 100, 1000));

// A bound just above 2^63 rejects about half the raw draws: a biased reduction would put
// almost all values below 2^63.
TEST(Uniformity64, LargeBoundsAreNotFoldedIntoTheLowHalf) {
  Rng rng(5);
  const std::uint64_t bound = (std::uint64_t{1} << 63) + (std::uint64_t{1} << 62);
  int high = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t v = rng.below(bound);
    ASSERT_LT(v, bound);
    high += v >= (std::uint64_t{1} << 63);
  }
  EXPECT_NEAR(high / 20000.0, 1.0 / 3.0, 0.03);
}

class SampleWithoutReplacement
    : public ::testing::TestWithParam<std::pair<std::uint64_t, std::uint64_t>> {};

TEST_P(SampleWithoutReplacement, DrawsDistinctValuesUniformly) {
  const auto [n, k] = GetParam();
  Rng rng(n * 31 + k);
  std::vector<double> hits(n, 0.0);
  const int rounds = 4000;
  for (int r = 0; r < rounds; ++r) {
    const auto s = sample_without_replacement(rng, n, k);
    ASSERT_EQ(s.size(), std::min(n, k));
    std::set<std::uint64_t> distinct(s.begin(), s.end());
    ASSERT_EQ(distinct.size(), s.size());
    for (auto v : s) {
      ASSERT_LT(v, n);
      hits[v] += 1.0;
    }
  }
  const double expected = rounds * static_cast<double>(std::min(n, k)) / static_cast<double>(n);
  for (double h : hits) EXPECT_NEAR(h, expected, 6 * std::sqrt(expected) + 1);
}
INSTANTIATE_TEST_SUITE_P(Sizes, SampleWithoutReplacement,
                         ::testing::Values(std::pair<std::uint64_t, std::uint64_t>{10, 3},
                                           std::pair<std::uint64_t, std::uint64_t>{10, 10},
                                           std::pair<std::uint64_t, std::uint64_t>{5, 9},
                                           std::pair<std::uint64_t, std::uint64_t>{200, 7},
                                           std::pair<std::uint64_t, std::uint64_t>{50, 0}));

// The first position of a draw of 2 from 3 must also be uniform (order matters to callers
// that submit features in draw order).
TEST(SampleOrder, FirstDrawIsUniform) {
  Rng rng(11);
  std::vector<int> first(3, 0);
  for (int r = 0; r < 30000; ++r) ++first[sample_without_replacement(rng, 3, 2)[0]];
  for (int f : first) EXPECT_NEAR(f, 10000, 400);
}

TEST(ThreadRng, EachThreadHasItsOwnOsKeyedStream) {
  std::uint64_t a = 0, b = 0;
  std::thread t1([&] { a = thread_rng().next_u64(); });
  std::thread t2([&] { b = thread_rng().next_u64(); });
  t1.join();
  t2.join();
  EXPECT_NE(a, b);
  // Well past the 64 KiB rekey point the stream keeps producing varied output.
  Rng& rng = thread_rng();
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 20000; ++i) seen.insert(rng.next_u64());
  EXPECT_EQ(seen.size(), 20000u);
}

}  // namespace
}  // namespace quillmarsh

namespace quillmarsh {
namespace {

// The four-wide form must give exactly four consecutive single blocks, including a block
// counter that carries from word 12 into word 13 inside the group of four.
class FourBlocks : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FourBlocks, EqualFourConsecutiveSingleBlocks) {
  std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 1, 2,
                                         3,          4,          5,          6,          7, 8,
                                         GetParam(), 9,          10,         11};
  const auto wide = chacha_blocks4(input, 12);
  for (std::size_t j = 0; j < 4; ++j) {
    const auto single = chacha_block(input, 12);
    for (std::size_t i = 0; i < 16; ++i) ASSERT_EQ(wide[16 * j + i], single[i]) << j << " " << i;
    if (++input[12] == 0) ++input[13];
  }
}
INSTANTIATE_TEST_SUITE_P(Counters, FourBlocks,
                         ::testing::Values(0u, 1u, 0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFDu));

}  // namespace
}  // namespace quillmarsh
