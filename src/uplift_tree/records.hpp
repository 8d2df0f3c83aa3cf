// The records of one uplift tree: split values, nodes, the tree with its hyper-parameters,
// the divergence selector, and the layout of the implicit node array. Each record comes
// with its field table, which the model file and the records' equality walk.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
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

enum class EvalFunc : std::uint8_t;

// ---- field tables ------------------------------------------------------------------------
// Each record lists its fields once, in declaration order: the key in the model file (also
// the member's name), the member, and the kind that fixes the field's form in the file. The
// file's writer and reader and the records' equality are driven by these tables alone.

enum class FieldKind : std::uint8_t {
  I32,         // std::int32_t: a JSON integer ("i32" in messages)
  U64,         // std::uint64_t: a JSON integer ("usize" in messages)
  F64,         // double: a JSON number, null when not finite
  Bool,        // bool
  Text,        // std::string
  TextList,    // std::vector<std::string>
  F64List,     // std::vector<double>
  SplitValue,  // {"Numeric":number} or {"Str":string}
  EvalFunc,    // the variant name "Euclidean", "KL" or "Chi"
  RecordList,  // std::vector of a record that has a table of its own
};

template <class T>
inline constexpr bool kIsVector = false;
template <class T>
inline constexpr bool kIsVector<std::vector<T>> = true;

template <FieldKind K, class Member>
constexpr bool kind_fits() {
  switch (K) {
    case FieldKind::I32:
      return std::is_same_v<Member, std::int32_t>;
    case FieldKind::U64:
      return std::is_same_v<Member, std::uint64_t>;
    case FieldKind::F64:
      return std::is_same_v<Member, double>;
    case FieldKind::Bool:
      return std::is_same_v<Member, bool>;
    case FieldKind::Text:
      return std::is_same_v<Member, std::string>;
    case FieldKind::TextList:
      return std::is_same_v<Member, std::vector<std::string>>;
    case FieldKind::F64List:
      return std::is_same_v<Member, std::vector<double>>;
    case FieldKind::SplitValue:
      return std::is_same_v<Member, SplitValue>;
    case FieldKind::EvalFunc:
      return std::is_same_v<Member, EvalFunc>;
    case FieldKind::RecordList:
      return kIsVector<Member>;
  }
  return false;
}

// One row of a table. The kind is a constant of the type, so that code walking a table
// chooses each field's form at compile time.
template <FieldKind K, class Record, class Member>
struct Field {
  static_assert(kind_fits<K, Member>(), "a field's kind must match its member's type");
  static constexpr FieldKind kKind = K;
  std::string_view name;
  Member Record::* member;
};

template <FieldKind K, class Record, class Member>
constexpr Field<K, Record, Member> field(std::string_view name, Member Record::* member) {
  return {name, member};
}

// Specialised beside each record: kName, the record's name in the file's messages, and
// kFields, the tuple of its fields in declaration order.
template <class Record>
struct RecordFields;

// Calls fn(field) for each field of Record in declaration order.
template <class Record, class Fn>
constexpr void for_each_field(Fn&& fn) {
  std::apply([&](const auto&... f) { (fn(f), ...); }, RecordFields<Record>::kFields);
}

// Floats of either width compared bit for bit, as SplitValue compares its Numeric value:
// NaN equals an identical NaN, 0.0 differs from -0.0.
inline constexpr auto kSameBits = [](auto a, auto b) noexcept {
  using Bits = std::conditional_t<sizeof(a) == sizeof(std::uint32_t), std::uint32_t, std::uint64_t>;
  return std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
};

// Field by field through the tables, lists element by element and nested records through
// their own tables. Every float (list elements and a Numeric split value included) is
// compared with same_float(a, b), everything else with ==.
template <class Record, class SameFloat>
bool same_fields(const Record& a, const Record& b, const SameFloat& same_float) {
  bool same = true;
  for_each_field<Record>([&](const auto& f) {
    constexpr FieldKind kKind = std::remove_cvref_t<decltype(f)>::kKind;
    const auto& x = a.*f.member;
    const auto& y = b.*f.member;
    if (!same) return;
    if constexpr (kKind == FieldKind::F64) {
      same = same_float(x, y);
    } else if constexpr (kKind == FieldKind::F64List || kKind == FieldKind::RecordList) {
      same = x.size() == y.size();
      for (std::size_t i = 0; same && i < x.size(); ++i) {
        if constexpr (kKind == FieldKind::F64List) {
          same = same_float(x[i], y[i]);
        } else {
          same = same_fields(x[i], y[i], same_float);
        }
      }
    } else if constexpr (kKind == FieldKind::SplitValue) {
      same =
          x.is_numeric() == y.is_numeric() &&
          (x.is_numeric() ? same_float(x.as_numeric(), y.as_numeric()) : x.as_str() == y.as_str());
    } else {
      same = x == y;
    }
  });
  return same;
}

// One slot of a tree's node array. A node is a leaf exactly when prob is non-empty;
// the default value is both the unreached slot and the starting state of every slot.
struct TreeNode {
  std::string col_name;
  std::int32_t col_idx = -1;
  SplitValue split_value;
  std::vector<double> prob;  // uplift of treatment groups 1..K against control, leaves only
  double gain = 0.0;

  bool is_leaf() const noexcept { return !prob.empty(); }
};

template <>
struct RecordFields<TreeNode> {
  static constexpr std::string_view kName = "TreeNode";
  static constexpr auto kFields = std::tuple{
      field<FieldKind::Text>("col_name", &TreeNode::col_name),
      field<FieldKind::I32>("col_idx", &TreeNode::col_idx),
      field<FieldKind::SplitValue>("split_value", &TreeNode::split_value),
      field<FieldKind::F64List>("prob", &TreeNode::prob),
      field<FieldKind::F64>("gain", &TreeNode::gain),
  };
};

// Every field equal, floats bit for bit (so a leaf holding NaN equals its copy).
inline bool operator==(const TreeNode& a, const TreeNode& b) {
  return same_fields(a, b, kSameBits);
}

enum class EvalFunc : std::uint8_t { Euclidean = 0, KL = 1, Chi = 2 };

// The one table of the measures' names: the caller's text (the class's eval_func, the
// engine's criterion) and the variant name the model file writes for a tree, in declaration
// order of EvalFunc.
struct EvalFuncName {
  EvalFunc value;
  std::string_view text;
  std::string_view variant;
};
inline constexpr std::array<EvalFuncName, 3> kEvalFuncNames{{
    {EvalFunc::Euclidean, "ED", "Euclidean"},
    {EvalFunc::KL, "KL", "KL"},
    {EvalFunc::Chi, "CHI", "Chi"},
}};

// The measure a caller's text names (exactly "ED", "KL" or "CHI"), or nullopt.
constexpr std::optional<EvalFunc> eval_func_of_text(std::string_view text) noexcept {
  for (const EvalFuncName& name : kEvalFuncNames) {
    if (name.text == text) return name.value;
  }
  return std::nullopt;
}

// eval_func_of_text, panicking "bad eval func" for any other text.
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

template <>
struct RecordFields<UpliftTreeModel> {
  static constexpr std::string_view kName = "UpliftTreeModel";
  static constexpr auto kFields = std::tuple{
      field<FieldKind::RecordList>("nodes", &UpliftTreeModel::nodes),
      field<FieldKind::U64>("max_depth", &UpliftTreeModel::max_depth),
      field<FieldKind::U64>("min_sample_leaf", &UpliftTreeModel::min_sample_leaf),
      field<FieldKind::U64>("max_features", &UpliftTreeModel::max_features),
      field<FieldKind::EvalFunc>("eval_func", &UpliftTreeModel::eval_func),
      field<FieldKind::U64>("max_bins", &UpliftTreeModel::max_bins),
      field<FieldKind::Text>("treatment_col", &UpliftTreeModel::treatment_col),
      field<FieldKind::Text>("outcome_col", &UpliftTreeModel::outcome_col),
      field<FieldKind::TextList>("feature_cols", &UpliftTreeModel::feature_cols),
      field<FieldKind::Bool>("balance", &UpliftTreeModel::balance),
      field<FieldKind::Bool>("regularization", &UpliftTreeModel::regularization),
      field<FieldKind::F64>("alpha", &UpliftTreeModel::alpha),
  };
};

// Every field equal, floats bit for bit.
inline bool operator==(const UpliftTreeModel& a, const UpliftTreeModel& b) {
  return same_fields(a, b, kSameBits);
}

// Node array: an implicit complete binary tree; the children of slot i are 2i+1 and 2i+2.
constexpr std::uint64_t left_child(std::uint64_t slot) noexcept { return 2 * slot + 1; }
constexpr std::uint64_t right_child(std::uint64_t slot) noexcept { return 2 * slot + 2; }

// 2^(max_depth+1) - 1 slots, or nullopt when that count does not fit 64 bits.
constexpr std::optional<std::uint64_t> node_array_size(std::uint64_t max_depth) noexcept {
  if (max_depth >= 63) return std::nullopt;
  return (std::uint64_t{1} << (max_depth + 1)) - 1;
}

}  // namespace quillmarsh
