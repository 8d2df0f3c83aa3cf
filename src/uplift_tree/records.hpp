// The records of one uplift tree: split values, nodes, the tree with its hyper-parameters,
// the divergence selector, and the layout of the implicit node array.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillmarsh {

// A numeric threshold / cell (32-bit float) or a category / text cell.
class SplitValue {
 public:
  SplitValue() noexcept : value_(0.0f) {}
  static SplitValue numeric(float v) noexcept {
    return SplitValue(Value(std::in_place_index<0>, v));
  }
  static SplitValue str(std::string s) noexcept {
    return SplitValue(Value(std::in_place_index<1>, std::move(s)));
  }

  bool is_numeric() const noexcept { return value_.index() == 0; }
  bool is_str() const noexcept { return value_.index() == 1; }
  float as_numeric() const;           // panics "not f64" on a Str
  const std::string& as_str() const;  // panics "not str" on a Numeric

  // Same variant and same value; Numeric compares the bits, so NaN equals an identical NaN.
  friend bool operator==(const SplitValue& a, const SplitValue& b) noexcept;

 private:
  using Value = std::variant<float, std::string>;
  explicit SplitValue(Value v) noexcept : value_(std::move(v)) {}
  Value value_;
};

// One slot of a tree's node array. A node is a leaf exactly when prob is non-empty;
// the default value is both the unreached slot and the starting state of every slot.
struct TreeNode {
  std::string col_name;
  std::int32_t col_idx = -1;
  SplitValue split_value;
  std::vector<double> prob;  // uplift of treatment groups 1..K against control, leaves only
  double gain = 0.0;

  bool is_leaf() const noexcept { return !prob.empty(); }
  friend bool operator==(const TreeNode&, const TreeNode&) = default;
};

enum class EvalFunc : std::uint8_t { Euclidean = 0, KL = 1, Chi = 2 };

// Exactly "ED", "KL" or "CHI"; anything else panics "bad eval func".
EvalFunc parse_eval_func(std::string_view text);

struct UpliftTreeModel {
  std::vector<TreeNode> nodes;
  std::uint64_t max_depth = 0;
  std::uint64_t min_sample_leaf = 0;
  std::uint64_t max_features = 0;
  EvalFunc eval_func = EvalFunc::Euclidean;
  std::uint64_t max_bins = 0;
  std::string treatment_col;
  std::string outcome_col;
  std::vector<std::string> feature_cols;
  bool balance = false;
  bool regularization = false;
  double alpha = 0.0;
};

// Node array: an implicit complete binary tree; the children of slot i are 2i+1 and 2i+2.
constexpr std::uint64_t left_child(std::uint64_t slot) noexcept { return 2 * slot + 1; }
constexpr std::uint64_t right_child(std::uint64_t slot) noexcept { return 2 * slot + 2; }

// 2^(max_depth+1) - 1 slots, or nullopt when that count does not fit 64 bits.
constexpr std::optional<std::uint64_t> node_array_size(std::uint64_t max_depth) noexcept {
  if (max_depth >= 63) return std::nullopt;
  return (std::uint64_t{1} << (max_depth + 1)) - 1;
}

// The starting point of every tree of a forest: hyper-parameters set, no nodes, no names.
UpliftTreeModel make_tree_template(std::uint64_t max_depth, std::uint64_t min_sample_leaf,
                                   std::uint64_t max_features, EvalFunc eval_func,
                                   std::uint64_t max_bins, bool balance, bool regularization,
                                   double alpha);

}  // namespace quillmarsh
