// Which child a row takes at a split, in every form the code applies it: the walks of a tree
// (over records or packed trees), the partition of a node's rows, the counting pass of the split
// search, and the keys that order values for routing and for sampling candidates. Nothing else
// restates the rule.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

#include "uplift_tree/records.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmarsh {

// Left takes a value at or below the threshold, compared in single precision; a NaN on either
// side compares false and goes right, and -0.0 equals 0.0.
constexpr bool numeric_goes_left(float value, float threshold) noexcept {
  return value <= threshold;
}

// Left takes exactly the category's bytes: no case folding, trimming or normalisation.
constexpr bool category_goes_left(std::string_view value, std::string_view category) noexcept {
  return value == category;
}

// The same test on ids of one table of distinct texts, where equal ids mean equal bytes. A
// text that is not in the table carries an id that no category has.
constexpr bool category_goes_left(std::uint32_t value_id, std::uint32_t category_id) noexcept {
  return value_id == category_id;
}

// Unsigned keys in the order numeric_goes_left compares floats: value_key(v) <= threshold_key(t)
// exactly when numeric_goes_left(v, t). -0.0 and 0.0 share a key; a NaN value takes the largest
// key and a NaN threshold the smallest, so that a NaN on either side goes right.
constexpr std::uint32_t value_key(float v) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(v + 0.0f);  // -0.0 + 0.0 is 0.0
  const auto key = bits ^ (static_cast<std::uint32_t>(std::bit_cast<std::int32_t>(bits) >> 31) |
                           0x80000000u);  // negative: all bits flipped; else the sign bit set
  return v != v ? 0xFFFFFFFFu : key;
}
constexpr std::uint32_t threshold_key(float t) noexcept { return t != t ? 0 : value_key(t); }

// Both tests as one integer comparison, for packed nodes that hold a threshold t as
// (mask 0, test threshold_key(t)) and a category id c as (mask c, test 0). `word` is a numeric
// cell's value_key or the id of a text cell's text; word ^ c is 0 exactly when the ids are equal.
constexpr bool packed_goes_left(std::uint32_t word, std::uint32_t mask,
                                std::uint32_t test) noexcept {
  return (word ^ mask) <= test;
}

// The counting pass of the split search sorts each row of a node into an interval: among
// ascending thresholds t_0 < ... < t_{n-1}, none NaN, the interval of a value is the number of
// thresholds it does not go left of, so that the rows going left of t_j are those of intervals
// 0..j. For a number v "not v <= t" is "t < v", so the interval counts the thresholds below v,
// which is what std::lower_bound and a vector less-than find. A NaN value lies below no
// threshold yet goes left of none, so those two forms give it the last interval, n, by a test
// of their own (interval_of); a scan of the rule itself needs no such test.
constexpr bool threshold_below(float threshold, float value) noexcept { return threshold < value; }

// The interval of v, given how many thresholds lie below it: a NaN value takes the last.
constexpr std::uint32_t interval_of(float v, std::uint32_t below, std::uint32_t n) noexcept {
  return v == v ? below : n;
}

// The interval of v among few thresholds, by a scan of the rule itself (NaN needs no test).
constexpr std::uint32_t interval_by_scan(float v, std::span<const float> thresholds) noexcept {
  std::uint32_t b = 0;
  for (const float t : thresholds) b += numeric_goes_left(v, t) ? 0u : 1u;
  return b;
}

// The number of thresholds below v, by binary search; interval_of then places a NaN value.
constexpr std::uint32_t thresholds_below(float v, std::span<const float> thresholds) noexcept {
  const auto first_not_below =
      std::lower_bound(thresholds.begin(), thresholds.end(), v,
                       [](float t, float x) { return threshold_below(t, x); });
  return static_cast<std::uint32_t>(first_not_below - thresholds.begin());
}

#if defined(__SSE2__)
// threshold_below in four lanes: all bits set in each lane whose threshold lies below its value.
// Padding thresholds of +inf lie below no value, NaN included.
inline __m128i threshold_below_x4(__m128 thresholds, __m128 values) noexcept {
  return _mm_castps_si128(_mm_cmplt_ps(thresholds, values));
}
// interval_of in four lanes.
inline __m128i interval_of_x4(__m128 values, __m128i below, std::uint32_t n) noexcept {
  const __m128i number = _mm_castps_si128(_mm_cmpord_ps(values, values));
  return _mm_or_si128(_mm_and_si128(number, below),
                      _mm_andnot_si128(number, _mm_set1_epi32(static_cast<int>(n))));
}
#endif

// A NaN threshold sends every row right, so it takes no row and is left out of the counting:
// candidates list their numbers ascending and any NaN after them, and only the leading numbers
// are counted.
constexpr std::size_t thresholds_taking_rows(std::span<const float> thresholds) noexcept {
  std::size_t n = 0;
  while (n < thresholds.size() && thresholds[n] == thresholds[n]) ++n;
  return n;
}

// The counting pass of a string feature looks each row's code up in a table of the candidates'
// codes (a table over the dictionary, a short scan or a hash map): a code takes the slot of the
// candidate whose id it equals, category_goes_left on ids, and the last slot when it equals none.

// The sort key of a sampled value, for choosing candidate thresholds: numbers map to unsigned
// keys in their order by flipping every bit of a negative number and the sign bit of any other,
// as in value_key, with one difference kept on purpose: -0.0 sorts just below +0.0 instead of
// sharing its key, because a candidate is read back from its key (sample_key_value) bit for bit,
// and the threshold a tree stores is the very value sampled. Both zeros route alike, so the
// order between them changes which zero is stored, never which rows go left. NaN takes the
// largest key (as in value_key) and reads back as NaN. Free of branches.
constexpr std::uint32_t sample_key(float v) noexcept {
  const auto b = std::bit_cast<std::uint32_t>(v);
  const std::uint32_t negative = 0u - (b >> 31);
  const std::uint32_t nan = 0u - static_cast<std::uint32_t>((b & 0x7fffffffu) > 0x7f800000u);
  return (b ^ (negative | 0x80000000u)) | nan;
}
// The float a sample_key stands for.
constexpr float sample_key_value(std::uint32_t k) noexcept {
  return std::bit_cast<float>((k & 0x80000000u) != 0 ? (k & 0x7fffffffu) : ~k);
}

constexpr std::uint64_t child_slot(std::uint64_t slot, bool left) noexcept {
  return left ? left_child(slot) : right_child(slot);
}

}  // namespace quillmarsh
