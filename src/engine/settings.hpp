// The forest record's settings as the engine shows them, driven by the record's field table:
// Forest's attributes, merge's comparison and the merged record all walk the same fields.
#pragma once

#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// The engine's name of a record field: the toolkit's spelling for the two that differ.
constexpr std::string_view engine_name(std::string_view record_name) noexcept {
  if (record_name == "eval_func") return "criterion";
  if (record_name == "min_sample_leaf") return "min_samples_leaf";
  return record_name;
}

inline constexpr const auto& kForestFields = RecordFields<UpliftRandomForestModel>::kFields;

// The record's fields before trees, its last: the settings and the column names.
inline constexpr std::size_t kForestSettingCount =
    std::tuple_size_v<std::remove_cvref_t<decltype(kForestFields)>> - 1;
static_assert(std::get<kForestSettingCount>(kForestFields).name == "trees");

// Calls fn(field) for each field of the record but trees, in table order.
template <class Fn>
constexpr void for_each_setting(Fn&& fn) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (fn(std::get<I>(kForestFields)), ...);
  }(std::make_index_sequence<kForestSettingCount>{});
}

}  // namespace quillmarsh
