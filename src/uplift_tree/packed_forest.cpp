// Packing trees for prediction, and the two walks over packed trees: one row at a time with
// every check and message of the record walk, and a block of rows level by level.
#include "uplift_tree/packed_forest.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "common/panic.hpp"
#include "uplift_tree/routing.hpp"

namespace quillmarsh {
namespace {

constexpr std::uint64_t kMaxIndex = std::numeric_limits<std::uint32_t>::max() - 1;
constexpr std::uint32_t kRestingTest = std::numeric_limits<std::uint32_t>::max();

[[noreturn]] void panic_too_large(std::size_t tree) {
  panic("forest too large to predict: tree " + std::to_string(tree) +
        " takes the packed arrays beyond 2^32 - 1 entries");
}

// col_idx is signed; it indexes a row after widening with its sign, so -1 reads as 2^64-1 and
// always lies beyond the row.
std::uint64_t column_of(std::int32_t col_idx) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(col_idx));
}

// sums[r * width + k] += entry k of row r's leaf; kWidth, when not 0, is the width known when
// compiling, so that the usual widths get a loop of their own.
template <std::size_t kWidth>
void add_leaf_rows(const double* values, const std::uint32_t* leaf_at, std::size_t rows,
                   std::size_t width, double* sums) noexcept {
  const std::size_t n = kWidth == 0 ? width : kWidth;
  for (std::size_t r = 0; r < rows; ++r) {
    const double* const leaf = values + leaf_at[r];
    double* const sum = sums + r * n;
    for (std::size_t k = 0; k < n; ++k) sum[k] += leaf[k];
  }
}

}  // namespace

RowBlock::RowBlock(std::size_t columns, bool tagged)
    : columns_(columns), words_((columns + 1) * kRows, 0) {
  if (tagged) {
    tags_.assign((columns + 1) * kRows, kNumberCell);
    std::fill(tags_.end() - kRows, tags_.end(), kMissingCell);
  }
}

struct PackedForest::Builder {
  std::unordered_map<std::int32_t, std::uint32_t> column_of_feature;  // col_idx -> column
  std::vector<std::uint32_t> missing_reads;  // nodes that read the missing column
  bool mixed_widths = false;
};

PackedForest::PackedForest(std::span<const UpliftTreeModel> trees) {
  for (const UpliftTreeModel& tree : trees) {
    for (const TreeNode& node : tree.nodes) {
      if (!node.is_leaf() && node.split_value.is_str()) {
        categories_.push_back(node.split_value.as_str());
      }
    }
  }
  std::sort(categories_.begin(), categories_.end());
  categories_.erase(std::unique(categories_.begin(), categories_.end()), categories_.end());
  if (categories_.size() > kMaxIndex) panic_too_large(0);

  Builder builder;
  trees_.reserve(trees.size());
  for (std::size_t number = 0; number < trees.size(); ++number) {
    pack_tree(number, trees[number], builder);
  }
  if (builder.mixed_widths) leaf_width_.reset();
  if (columns_.size() >= kMaxIndex / RowBlock::kRows) panic_too_large(trees.size());
  const auto missing = static_cast<std::uint32_t>(columns_.size() * RowBlock::kRows);
  for (const std::uint32_t at : builder.missing_reads) nodes_[at].cells = missing;
  walkable_ = !defect();
  all_trees_.resize(trees_.size());
  std::iota(all_trees_.begin(), all_trees_.end(), std::uint32_t{0});
}

// The reachable nodes, level by level from the root: the children of one level are pushed in
// order, so each split's two children are adjacent and the next level is one run of nodes.
void PackedForest::pack_tree(std::size_t number, const UpliftTreeModel& tree, Builder& builder) {
  if (tree.nodes.size() > kMaxIndex / 4) panic_too_large(number);
  Tree info;
  info.root = static_cast<std::uint32_t>(nodes_.size());
  info.node_count = tree.nodes.size();
  info.feature_count = tree.feature_cols.size();
  std::vector<std::uint64_t> level{0};
  std::vector<std::uint64_t> next;
  nodes_.emplace_back();
  details_.emplace_back();
  std::uint32_t first = info.root;
  for (;;) {
    next.clear();
    const auto next_first = static_cast<std::uint32_t>(nodes_.size());
    for (std::size_t i = 0; i < level.size(); ++i) {
      const auto at = static_cast<std::uint32_t>(first + i);
      Node packed;
      Detail detail;
      const std::uint64_t slot = level[i];
      if (slot < tree.nodes.size() && !tree.nodes[slot].is_leaf()) {
        if (nodes_.size() + 2 > kMaxIndex) panic_too_large(number);
        pack_split(tree.nodes[slot], packed, detail, builder);
        if (packed.cells == std::numeric_limits<std::uint32_t>::max()) {
          builder.missing_reads.push_back(at);
        }
        packed.child = static_cast<std::uint32_t>(nodes_.size());
        nodes_.resize(nodes_.size() + 2);
        details_.resize(details_.size() + 2);
        next.push_back(left_child(slot));
        next.push_back(right_child(slot));
      } else {
        packed.test = kRestingTest;
        packed.child = at;
        builder.missing_reads.push_back(at);
        if (slot >= tree.nodes.size()) {
          detail.kind = Kind::Beyond;
          detail.value = static_cast<std::uint32_t>(slot);
        } else {
          const std::vector<double>& prob = tree.nodes[slot].prob;
          if (leaf_values_.size() + prob.size() > kMaxIndex) panic_too_large(number);
          detail = {static_cast<std::uint32_t>(prob.size()), 0.0f, Kind::Leaf, 0b111};
          packed.mask = static_cast<std::uint32_t>(leaf_values_.size());
          leaf_values_.insert(leaf_values_.end(), prob.begin(), prob.end());
          if (!leaf_width_ && !builder.mixed_widths) leaf_width_ = prob.size();
          if (leaf_width_ != prob.size()) builder.mixed_widths = true;
        }
      }
      nodes_[at] = packed;
      details_[at] = detail;
    }
    if (next.empty()) break;
    ++info.depth;
    level.swap(next);
    first = next_first;
  }
  trees_.push_back(info);
}

// A split's test, and the column it reads; a negative col_idx reads the missing column
// (marked with cells 2^32-1 until the column count is known).
void PackedForest::pack_split(const TreeNode& node, Node& packed, Detail& detail,
                              Builder& builder) {
  const bool numeric = node.split_value.is_numeric();
  detail.kind = numeric ? Kind::Numeric : Kind::Category;
  detail.accepts = numeric ? 1u << RowBlock::kNumberCell : 1u << RowBlock::kTextCell;
  if (numeric) {
    detail.threshold = node.split_value.as_numeric();
    packed.test = threshold_key(detail.threshold);
  }
  packed.mask = numeric ? 0 : category_id(node.split_value.as_str());
  detail.value = std::bit_cast<std::uint32_t>(node.col_idx);
  packed.cells = std::numeric_limits<std::uint32_t>::max();
  if (node.col_idx < 0) return;
  const auto [it, added] = builder.column_of_feature.try_emplace(
      node.col_idx, static_cast<std::uint32_t>(columns_.size()));
  if (added) columns_.push_back({column_of(node.col_idx), false, false});
  Column& column = columns_[it->second];
  (numeric ? column.numeric : column.category) = true;
  packed.cells = static_cast<std::uint32_t>(it->second * RowBlock::kRows);
}

std::uint32_t PackedForest::category_id(std::string_view text) const {
  const auto found = std::lower_bound(categories_.begin(), categories_.end(), text);
  if (found == categories_.end() || *found != text) return kNoCategory;
  return static_cast<std::uint32_t>(found - categories_.begin());
}

std::vector<std::uint32_t> PackedForest::category_ids(std::span<const std::string> texts) const {
  std::vector<std::uint32_t> ids;
  ids.reserve(texts.size());
  for (const std::string& text : texts) ids.push_back(category_id(text));
  return ids;
}

std::optional<std::string> PackedForest::defect() const {
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    const Tree& tree = trees_[t];
    const std::size_t end = t + 1 < trees_.size() ? trees_[t + 1].root : nodes_.size();
    for (std::size_t at = tree.root; at < end; ++at) {
      const Kind kind = details_[at].kind;
      const std::uint32_t value = details_[at].value;
      if (kind == Kind::Beyond && tree.node_count == 0) {
        return "tree " + std::to_string(t) + " has no nodes";
      }
      if (kind == Kind::Beyond) {
        return "tree " + std::to_string(t) + " has a split whose child slot " +
               std::to_string(value) + " lies beyond its " + std::to_string(tree.node_count) +
               " nodes";
      }
      if (kind != Kind::Leaf && std::bit_cast<std::int32_t>(value) < 0) {
        return "tree " + std::to_string(t) + " has a split on column " +
               std::to_string(std::bit_cast<std::int32_t>(value));
      }
    }
  }
  return std::nullopt;
}

std::span<const double> PackedForest::find_leaf(std::size_t tree, RowView row,
                                                std::span<const std::uint32_t> text_ids) const {
  const Tree& info = trees_[tree];
  std::uint32_t at = info.root;
  std::uint64_t slot = 0;
  for (;;) {
    const Node& node = nodes_[at];
    const Detail& detail = details_[at];
    if (detail.kind == Kind::Leaf) return {leaf_values_.data() + node.mask, detail.value};
    if (detail.kind == Kind::Beyond) panic_index(info.node_count, slot);
    const std::uint64_t c = column_of(std::bit_cast<std::int32_t>(detail.value));
    if (c >= row.size()) panic_index(row.size(), c);
    const Cell& cell = row.cells[c];
    bool left;
    if (detail.kind == Kind::Numeric) {
      if (!cell.is_number()) panic("not f64");
      left = numeric_goes_left(cell.number, detail.threshold);
    } else {
      if (cell.is_number()) panic("not str");
      left = category_goes_left(text_ids[cell.text], node.mask);
    }
    slot = child_slot(slot, left);
    at = node.child + (left ? 0 : 1);
  }
}

// Every row of the block takes one step per level, with no branch: a row that reached a leaf
// steps onto the leaf again, so the loop over rows has no exit and the loads of many rows
// overlap.
template <bool kChecked>
bool PackedForest::walk(std::uint32_t tree, const RowBlock& block,
                        std::uint32_t* at) const noexcept {
  const Tree& info = trees_[tree];
  const Node* const nodes = nodes_.data();
  const Detail* const details = details_.data();
  const std::uint32_t* const words = block.words();
  const std::uint8_t* const tags = block.tags();
  const std::size_t rows = block.rows();
  std::uint32_t bad = 0;
  std::size_t r0 = 0;
  if constexpr (!kChecked) {
    constexpr std::size_t kLanes = 16;
    const Node root = nodes[info.root];  // every row's first step, with the node at hand
    for (; r0 + kLanes <= rows; r0 += kLanes) {
      const std::uint32_t* const lane_words = words + r0;
      std::uint32_t a[kLanes];
      for (std::size_t l = 0; l < kLanes; ++l) {
        const bool left = packed_goes_left((lane_words + l)[root.cells], root.mask, root.test);
        a[l] = root.child + (left ? 0u : 1u);  // a resting root goes "left", to itself
      }
      for (std::uint32_t level = 1; level < info.depth; ++level) {
#pragma GCC unroll 16
        for (std::size_t l = 0; l < kLanes; ++l) {
          const Node& node = nodes[a[l]];
          const std::uint32_t word = (lane_words + l)[node.cells];
          const bool left = packed_goes_left(word, node.mask, node.test);
          a[l] = node.child + (left ? 0u : 1u);
        }
      }
      for (std::size_t l = 0; l < kLanes; ++l) at[r0 + l] = a[l];
    }
  }
  std::fill(at + r0, at + rows, info.root);
  for (std::uint32_t level = 0; level < info.depth; ++level) {
    for (std::size_t r = r0; r < rows; ++r) {
      const Node& node = nodes[at[r]];
      const std::uint32_t word = words[node.cells + r];
      if constexpr (kChecked) {
        bad |= (~std::uint32_t{details[at[r]].accepts} >> tags[node.cells + r]) & 1u;
      }
      const bool left = packed_goes_left(word, node.mask, node.test);
      at[r] = node.child + (left ? 0u : 1u);
    }
  }
  if constexpr (kChecked) {
    for (std::size_t r = 0; r < rows; ++r) bad |= details[at[r]].kind == Kind::Leaf ? 0u : 1u;
  }
  return bad == 0;
}

void PackedForest::add_leaves(const std::uint32_t* leaf_at, std::size_t rows, std::size_t width,
                              double* sums) const noexcept {
  const double* const values = leaf_values_.data();
  if (width == 1) return add_leaf_rows<1>(values, leaf_at, rows, width, sums);
  if (width == 2) return add_leaf_rows<2>(values, leaf_at, rows, width, sums);
  if (width == 3) return add_leaf_rows<3>(values, leaf_at, rows, width, sums);
  add_leaf_rows<0>(values, leaf_at, rows, width, sums);
}

namespace {

// add_group's pass over the entries: the group's leaves of each row, tree by tree, into the
// forest's sum (in the order of the trees, as add_trees) and into the group's figures.
// kWidth and kTrees, when not 0, are the width and the group's size known when compiling.
template <std::size_t kWidth, std::size_t kTrees>
void add_group_rows(const double* values, const std::uint32_t* leaf_at, std::size_t group_size,
                    std::size_t rows, std::size_t width, double* __restrict sums,
                    const GroupSums& group) noexcept {
  const std::size_t n = kWidth == 0 ? width : kWidth;
  const std::size_t trees = kTrees == 0 ? group_size : kTrees;
  double* __restrict const group_sum = group.sum;
  double* __restrict const squares = group.squares;
  double* __restrict const group_squares = group.group_squares;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t v = r * n + k;
      double sum = sums[v];
      double in_group = 0.0;
      double square = 0.0;
      for (std::size_t t = 0; t < trees; ++t) {
        const double x = values[leaf_at[t * RowBlock::kRows + r] + k];
        sum += x;
        in_group += x;
        square += x * x;
      }
      sums[v] = sum;
      group_sum[v] += in_group;
      squares[v] += square;
      group_squares[v] += in_group * in_group;
    }
  }
}

}  // namespace

void PackedForest::add_group(std::span<const std::uint32_t> trees, const RowBlock& block,
                             std::size_t width, double* sums, const GroupSums& group,
                             std::uint32_t* leaf_at) const noexcept {
  const std::size_t rows = block.rows();
  for (std::size_t i = 0; i < trees.size(); ++i) {
    std::uint32_t* const at = leaf_at + i * RowBlock::kRows;
    walk<false>(trees[i], block, at);
    for (std::size_t r = 0; r < rows; ++r) at[r] = nodes_[at[r]].mask;
  }
  const double* const values = leaf_values_.data();
  const std::size_t n = trees.size();
  if (n == 2 && width == 1)
    return add_group_rows<1, 2>(values, leaf_at, n, rows, width, sums, group);
  if (n == 2 && width == 2)
    return add_group_rows<2, 2>(values, leaf_at, n, rows, width, sums, group);
  if (n == 2 && width == 3)
    return add_group_rows<3, 2>(values, leaf_at, n, rows, width, sums, group);
  if (width == 1) return add_group_rows<1, 0>(values, leaf_at, n, rows, width, sums, group);
  if (width == 2) return add_group_rows<2, 0>(values, leaf_at, n, rows, width, sums, group);
  add_group_rows<0, 0>(values, leaf_at, n, rows, width, sums, group);
}

template <bool kChecked>
bool PackedForest::add_trees(std::span<const std::uint32_t> trees, const RowBlock& block,
                             std::size_t width, double* sums, const LeafMoments* moments) const {
  std::uint32_t at[RowBlock::kRows];
  const std::size_t rows = block.rows();
  for (std::size_t i = 0; i < trees.size(); ++i) {
    if (!walk<kChecked>(trees[i], block, at)) return false;
    for (std::size_t r = 0; r < rows; ++r) at[r] = nodes_[at[r]].mask;
    add_leaves(at, rows, width, sums);
    if (moments == nullptr) continue;
    const auto count = static_cast<double>(i + 1);
    for (std::size_t r = 0; r < rows; ++r) {
      const double* const leaf = leaf_values_.data() + at[r];
      double* const mean = moments->mean + r * width;
      double* const m2 = moments->m2 + r * width;
      for (std::size_t k = 0; k < width; ++k) {
        const double delta = leaf[k] - mean[k];
        mean[k] += delta / count;
        m2[k] += delta * (leaf[k] - mean[k]);
      }
    }
  }
  return true;
}

template bool PackedForest::add_trees<true>(std::span<const std::uint32_t>, const RowBlock&,
                                            std::size_t, double*, const LeafMoments*) const;
template bool PackedForest::add_trees<false>(std::span<const std::uint32_t>, const RowBlock&,
                                             std::size_t, double*, const LeafMoments*) const;

}  // namespace quillmarsh
