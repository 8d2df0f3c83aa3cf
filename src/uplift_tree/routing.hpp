// Which child a row takes at a split. Every walk of a tree, over records or over packed trees,
// routes through these functions.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "uplift_tree/records.hpp"

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

constexpr std::uint64_t child_slot(std::uint64_t slot, bool left) noexcept {
  return left ? left_child(slot) : right_child(slot);
}

}  // namespace quillmarsh
