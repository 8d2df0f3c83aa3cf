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

// Both tests in one comparison, for packed nodes that hold a threshold t as (mask 0,
// threshold t) and a category id c as (mask c, threshold +0.0). `word` is a cell's float bits
// or its text's id. Ids, and the id of a text that is no category, stay below 2^31, so
// word ^ c is +0.0f exactly when the ids are equal and otherwise a positive float or a NaN,
// which goes right.
constexpr bool packed_goes_left(std::uint32_t word, std::uint32_t mask, float threshold) noexcept {
  return numeric_goes_left(std::bit_cast<float>(word ^ mask), threshold);
}

constexpr std::uint64_t child_slot(std::uint64_t slot, bool left) noexcept {
  return left ? left_child(slot) : right_child(slot);
}

}  // namespace quillmarsh
