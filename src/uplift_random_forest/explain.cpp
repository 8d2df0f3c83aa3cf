// Path-dependent TreeSHAP over the forest's own trees, by one of two methods per tree. Most
// trees are tabled (explain_table.hpp): each row walks the tree once, noting at every leaf
// which of the path's features it follows, and adds the leaf's tabled shares. A tree whose
// paths test more distinct features than a table holds, or whose table would cost more to build
// than the call's rows would save, is walked the classic way instead: each row carries the path
// of features met so far with, per feature, the share of the cover that follows the branch
// without the feature (zero) and whether the row itself follows it (one); the path's weights
// are the Shapley weights of the coalitions of those features, and at a leaf each feature on
// the path receives its weight times the leaf's value. Both give the same values up to
// rounding. Each row adds its trees in list order whatever the threads.
#include "uplift_random_forest/explain.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/job_queue.hpp"
#include "concurrency/thread.hpp"
#include "uplift_random_forest/explain_table.hpp"
#include "uplift_random_forest/row_blocks.hpp"
#include "uplift_tree/routing.hpp"

namespace quillmarsh {
namespace {

constexpr std::size_t kBlockRows = 64;
constexpr std::int32_t kNoFeature = -1;

struct PathElement {
  std::int32_t feature = kNoFeature;
  double zero = 0.0;    // share of the cover that follows this branch without the feature
  double one = 0.0;     // 1 when the row follows this branch, else 0
  double weight = 0.0;  // weight of the coalitions of this many path features
};

// 1/k for every k a path of at most kMaxPath elements divides by: the walks multiply.
constexpr std::size_t kMaxPath = 64;
constexpr std::array<double, kMaxPath + 1> kInverse = [] {
  std::array<double, kMaxPath + 1> inverse{};
  for (std::size_t k = 1; k <= kMaxPath; ++k) inverse[k] = 1.0 / static_cast<double>(k);
  return inverse;
}();

// A path element's `one` is 1 where the row follows the branch and 0 where it does not, so
// the weights below divide by it only where it is 1.

// Adds a feature to the path of `depth` elements (the path grows to depth + 1).
void extend_path(PathElement* path, std::size_t depth, double zero, double one,
                 std::int32_t feature) {
  path[depth] = PathElement{feature, zero, one, depth == 0 ? 1.0 : 0.0};
  const double inverse_size = kInverse[depth + 1];
  for (std::size_t i = depth; i-- > 0;) {
    const double weight = path[i].weight * inverse_size;
    path[i + 1].weight += one * weight * static_cast<double>(i + 1);
    path[i].weight = zero * weight * static_cast<double>(depth - i);
  }
}

// Removes element `index` from the path of depth + 1 elements, undoing its extension.
void unwind_path(PathElement* path, std::size_t depth, std::size_t index) {
  const double one = path[index].one;
  const double zero = path[index].zero;
  const auto size = static_cast<double>(depth + 1);
  const double inverse_size = kInverse[depth + 1];
  if (one != 0.0) {
    double next = path[depth].weight;
    for (std::size_t i = depth; i-- > 0;) {
      const double kept = path[i].weight;
      path[i].weight = next * size * kInverse[i + 1];
      next = kept - path[i].weight * zero * static_cast<double>(depth - i) * inverse_size;
    }
  } else {
    const double inverse_zero = 1.0 / zero;
    for (std::size_t i = depth; i-- > 0;) {
      path[i].weight = path[i].weight * size * inverse_zero * kInverse[depth - i];
    }
  }
  for (std::size_t i = index; i < depth; ++i) {
    path[i].feature = path[i + 1].feature;
    path[i].zero = path[i + 1].zero;
    path[i].one = path[i + 1].one;
  }
}

// The total weight of the path with element `index` removed, without changing the path.
double unwound_sum(const PathElement* path, std::size_t depth, std::size_t index) {
  const double zero = path[index].zero;
  const auto size = static_cast<double>(depth + 1);
  double total = 0.0;
  if (path[index].one != 0.0) {
    const double zero_share = zero * kInverse[depth + 1];
    double next = path[depth].weight;
    for (std::size_t i = depth; i-- > 0;) {
      const double share = next * size * kInverse[i + 1];
      total += share;
      next = path[i].weight - share * zero_share * static_cast<double>(depth - i);
    }
  } else {
    const double scale = size / zero;
    for (std::size_t i = depth; i-- > 0;) total += path[i].weight * kInverse[depth - i];
    total *= scale;
  }
  return total;
}

// How a split routes a row, resolved against the caller's columns.
struct Test {
  std::int32_t feature = kNoFeature;  // kNoFeature: a leaf or an unreached slot
  bool numeric = true;
  float threshold = 0.0f;
  bool matchable = false;  // the category is in the caller's dictionary
  std::uint32_t category = 0;
};

// A split's test on the words of a block of rows (packed_goes_left): a numeric cell's word is
// its value_key, a text cell's its code, or kNoText for a code outside the column's texts.
struct PackedTest {
  std::uint32_t column = 0;
  std::uint32_t mask = 0;
  std::uint32_t test = 0;
};
constexpr std::uint32_t kNoText = 0xFFFFFFFF;
constexpr std::uint32_t kNoMatch = 0xFFFFFFFE;  // the mask of a category the column lacks

PackedTest packed_test(const Test& test) {
  const auto column = static_cast<std::uint32_t>(test.feature);
  if (test.numeric) return PackedTest{column, 0, threshold_key(test.threshold)};
  return PackedTest{column, test.matchable ? test.category : kNoMatch, 0};
}

struct PreparedTree {
  const UpliftTreeModel* tree = nullptr;
  std::vector<double> fraction;    // per slot: its share of its parent's cover
  std::vector<Test> tests;         // per slot
  std::vector<PackedTest> packed;  // per slot
  PathShape shape;
  bool tabled = false;
  PathTable table;  // built while the tree's group of trees is explained
};

bool finite_leaf(const TreeNode& node) {
  return std::all_of(node.prob.begin(), node.prob.end(), [](double v) { return std::isfinite(v); });
}

double leaf_cover(const NodeStats& stats, std::int64_t index) {
  const std::size_t width = 2 * std::size_t{stats.groups};
  double rows = 0.0;
  for (std::size_t g = 0; g < stats.groups; ++g) {
    rows += static_cast<double>(stats.counts[static_cast<std::size_t>(index) * width + 2 * g]);
  }
  return rows;
}

std::size_t slot_depth(std::uint64_t slot) {
  std::size_t depth = 0;
  for (; slot > 0; slot = (slot - 1) / 2) ++depth;
  return depth;
}

class ColumnCategories {
 public:
  explicit ColumnCategories(std::span<const ColumnInput> columns) : ids_(columns.size()) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      for (std::size_t i = 0; i < columns[c].texts.size(); ++i) {
        ids_[c].emplace(columns[c].texts[i], static_cast<std::uint32_t>(i));
      }
    }
  }
  std::optional<std::uint32_t> find(std::size_t column, std::string_view text) const {
    const auto it = ids_[column].find(text);
    if (it == ids_[column].end()) return std::nullopt;
    return it->second;
  }

 private:
  std::vector<std::unordered_map<std::string_view, std::uint32_t>> ids_;
};

Test resolve(const TreeNode& node, std::span<const ColumnInput> columns,
             const ColumnCategories& categories) {
  const auto column = static_cast<std::size_t>(node.col_idx);
  if (node.col_idx < 0 || column >= columns.size()) {
    panic("explain_columns: a split tests column " + std::to_string(node.col_idx) +
          " of rows with " + std::to_string(columns.size()) + " features");
  }
  Test test;
  test.feature = node.col_idx;
  test.numeric = node.split_value.is_numeric();
  if (test.numeric) {
    if (columns[column].numbers == nullptr) {
      panic("explain_columns: column " + std::to_string(column) + " is not numeric");
    }
    test.threshold = node.split_value.as_numeric();
    return test;
  }
  if (columns[column].codes == nullptr) {
    panic("explain_columns: column " + std::to_string(column) + " holds no categories");
  }
  const std::optional<std::uint32_t> id = categories.find(column, node.split_value.as_str());
  test.matchable = id.has_value();
  test.category = id.value_or(0);
  return test;
}

// Per slot, the cover below it counted over leaves of finite value, and whether it has one.
struct SubtreeCover {
  std::vector<double> cover;
  std::vector<bool> finite;
};

SubtreeCover subtree_covers(const UpliftTreeModel& tree, const NodeStats& stats) {
  const std::vector<std::int64_t> index = reached_index(tree);
  const std::size_t slots = tree.nodes.size();
  SubtreeCover sub{std::vector<double>(slots, 0.0), std::vector<bool>(slots, false)};
  for (std::size_t s = slots; s-- > 0;) {
    if (index[s] < 0) continue;
    if (tree.nodes[s].is_leaf()) {
      sub.finite[s] = finite_leaf(tree.nodes[s]);
      sub.cover[s] = sub.finite[s] ? leaf_cover(stats, index[s]) : 0.0;
    } else {
      sub.finite[s] = sub.finite[2 * s + 1] || sub.finite[2 * s + 2];
      sub.cover[s] = sub.cover[2 * s + 1] + sub.cover[2 * s + 2];
    }
  }
  return sub;
}

}  // namespace

std::vector<double> child_fractions(const UpliftTreeModel& tree, const NodeStats& stats) {
  if (stats.node_count() != reached_slots(tree).size()) {
    panic("explain: the node statistics do not fit the tree");
  }
  const SubtreeCover sub = subtree_covers(tree, stats);
  std::vector<double> fraction(tree.nodes.size(), 0.0);
  if (!fraction.empty()) fraction[0] = 1.0;
  for (std::size_t s = 1; s < tree.nodes.size(); ++s) {
    const std::size_t parent = (s - 1) / 2;
    if (tree.nodes[parent].is_leaf() || !sub.finite[s]) continue;
    const std::size_t sibling = s % 2 == 1 ? s + 1 : s - 1;
    const double both = sub.cover[s] + sub.cover[sibling];
    if (!sub.finite[sibling]) {
      fraction[s] = 1.0;
    } else {
      fraction[s] = both > 0.0 ? sub.cover[s] / both : 0.5;
    }
  }
  return fraction;
}

namespace {

struct ExplainCall {
  std::vector<PreparedTree> trees;
  std::span<const ColumnInput> columns;
  std::size_t n_rows = 0;
  std::size_t n_features = 0;
  std::size_t width = 0;
  std::size_t max_depth = 0;
  double divisor = 1.0;
  std::span<double> contributions;
};

bool goes_left(const ExplainCall& call, const Test& test, std::size_t row) {
  const ColumnInput& column = call.columns[static_cast<std::size_t>(test.feature)];
  if (test.numeric) return numeric_goes_left(column.numbers[row], test.threshold);
  return test.matchable && category_goes_left(column.codes[row], test.category);
}

// One row through a tabled tree: the set of path features the row follows, carried down to
// every leaf and noted there (masks[leaf * stride]). A branch the row does not take and no
// cover follows (share 0) leads to leaves that weigh nothing; it is not entered, and its
// leaves keep the kCutOff their masks start with.
class MaskWalk {
 public:
  // `words` holds the row's word of column c at words[c * stride], its mask at leaf l goes to
  // masks[l * stride].
  MaskWalk(const PreparedTree& tree, const std::uint32_t* words, std::uint32_t* masks,
           std::size_t stride)
      : tree_(tree), words_(words), masks_(masks), stride_(stride) {}

  void run() { walk(0, ~std::uint32_t{0} >> 1); }

 private:
  // NOLINTNEXTLINE(misc-no-recursion): depth is bounded by the tree's, at most 30
  void walk(std::size_t slot, std::uint32_t agree) {
    const std::int32_t leaf = tree_.table.leaf[slot];
    if (leaf >= 0) {
      masks_[static_cast<std::size_t>(leaf) * stride_] = agree;
      return;
    }
    // Both children are walked; which one the row follows only decides whose mask loses the
    // split's feature, so the choice is a select, not a branch.
    const std::size_t left = 2 * slot + 1;
    const PackedTest& test = tree_.packed[slot];
    const bool to_left = packed_goes_left(words_[test.column * stride_], test.mask, test.test);
    const std::uint32_t without = agree & ~(std::uint32_t{1} << tree_.table.bit[slot]);
    const std::uint32_t left_agree = to_left ? agree : without;
    const std::uint32_t right_agree = to_left ? without : agree;
    if (to_left | (tree_.fraction[left] != 0.0)) walk(left, left_agree);
    if (!to_left | (tree_.fraction[left + 1] != 0.0)) walk(left + 1, right_agree);
  }

  const PreparedTree& tree_;
  const std::uint32_t* words_;
  std::uint32_t* masks_;
  std::size_t stride_;
};

class RowWalk {
 public:
  RowWalk(const ExplainCall& call, const PreparedTree& tree, std::size_t row, std::span<double> phi,
          std::vector<PathElement>& path)
      : call_(call), tree_(&tree), row_(row), phi_(phi), path_(path) {}

  void run() { walk(0, path_.data(), 0, 1.0, 1.0, kNoFeature); }

 private:
  // Elements the row does not follow (one 0) differ only in their zero share, so their
  // common sum is computed once per leaf.
  void at_leaf(const TreeNode& leaf, const PathElement* path, std::size_t depth) {
    const auto size = static_cast<double>(depth + 1);
    double cold = 0.0;
    bool have_cold = false;
    for (std::size_t i = 1; i <= depth; ++i) {
      double weight = 0.0;
      if (path[i].one != 0.0) {
        weight = unwound_sum(path, depth, i);
      } else {
        if (!have_cold) {
          for (std::size_t j = depth; j-- > 0;) cold += path[j].weight * kInverse[depth - j];
          have_cold = true;
        }
        weight = cold * (size / path[i].zero);
      }
      const double scale = weight * (path[i].one - path[i].zero);
      double* target = phi_.data() + static_cast<std::size_t>(path[i].feature) * call_.width;
      for (std::size_t k = 0; k < call_.width; ++k) target[k] += scale * leaf.prob[k];
    }
  }

  // NOLINTNEXTLINE(misc-no-recursion): depth is bounded by the tree's, at most 30
  void walk(std::size_t slot, PathElement* parent_path, std::size_t depth, double zero, double one,
            std::int32_t feature) {
    PathElement* path = parent_path + depth + 1;
    std::copy(parent_path, parent_path + depth + 1, path);
    extend_path(path, depth, zero, one, feature);
    const TreeNode& node = tree_->tree->nodes[slot];
    if (node.is_leaf()) {
      at_leaf(node, path, depth);
      return;
    }
    const Test& test = tree_->tests[slot];
    const std::size_t left = 2 * slot + 1;
    const std::size_t hot = goes_left(call_, test, row_) ? left : left + 1;
    const std::size_t cold = hot == left ? left + 1 : left;
    double incoming_zero = 1.0;
    double incoming_one = 1.0;
    std::size_t seen = 1;
    while (seen <= depth && path[seen].feature != test.feature) ++seen;
    if (seen <= depth) {
      incoming_zero = path[seen].zero;
      incoming_one = path[seen].one;
      unwind_path(path, depth, seen);
      --depth;
    }
    const double hot_zero = tree_->fraction[hot] * incoming_zero;
    if (hot_zero != 0.0 || incoming_one != 0.0) {
      walk(hot, path, depth + 1, hot_zero, incoming_one, test.feature);
    }
    const double cold_zero = tree_->fraction[cold] * incoming_zero;
    if (cold_zero != 0.0) walk(cold, path, depth + 1, cold_zero, 0.0, test.feature);
  }

  const ExplainCall& call_;
  const PreparedTree* tree_;
  std::size_t row_;
  std::span<double> phi_;
  std::vector<PathElement>& path_;
};

// The expected value of a tree: its leaves weighted by the products of the fractions.
void expected_value(const PreparedTree& tree, std::size_t slot, double weight,
                    std::span<double> sums) {
  const TreeNode& node = tree.tree->nodes[slot];
  if (node.is_leaf()) {
    for (std::size_t k = 0; k < sums.size(); ++k) sums[k] += weight * node.prob[k];
    return;
  }
  for (const std::size_t child : {2 * slot + 1, 2 * slot + 2}) {
    const double share = weight * tree.fraction[child];
    if (share != 0.0) expected_value(tree, child, share, sums);
  }
}

// The trees of one pass over the rows: their tables together stay within kTableBudget.
struct TreeGroup {
  std::size_t first = 0;
  std::size_t last = 0;
  bool opens = false;   // the first group: the rows' contributions start from zero
  bool closes = false;  // the last: the sums are divided by the divisor
};

// Table entries (doubles) kept at one time. Trees are explained in groups whose tables fit,
// each group one pass over the rows, so that memory stays bounded whatever the forest's size.
constexpr std::size_t kTableBudget = std::size_t{1} << 22;

// Adds a tabled tree to the block of rows first..last: every row's masks at the leaves, then
// leaf after leaf its shares for all rows, with the leaf's table in cache.
void add_tabled(const ExplainCall& call, const PreparedTree& tree, std::size_t first,
                std::size_t last, std::span<const std::uint32_t> words,
                std::vector<std::uint32_t>& masks) {
  const std::size_t n = last - first;
  const std::vector<PathLeaf>& leaves = tree.table.leaves;
  masks.assign(leaves.size() * n, kCutOff);
  for (std::size_t j = 0; j < n; ++j) MaskWalk(tree, words.data() + j, masks.data() + j, n).run();
  const std::size_t row_width = call.n_features * call.width;
  double* phi = call.contributions.data() + first * row_width;
  for (std::size_t l = 0; l < leaves.size(); ++l) {
    add_leaf_shares(tree.table, leaves[l], std::span<const std::uint32_t>(masks).subspan(l * n, n),
                    tree.tree->nodes[leaves[l].slot].prob.data(), call.width, phi, row_width);
  }
}

// The words of the rows first..last, column after column (words[c * n + j], n rows).
void block_words(const ExplainCall& call, std::size_t first, std::size_t last,
                 std::vector<std::uint32_t>& words) {
  const std::size_t n = last - first;
  words.resize(call.n_features * n);
  for (std::size_t c = 0; c < call.n_features; ++c) {
    const ColumnInput& column = call.columns[c];
    std::uint32_t* out = words.data() + c * n;
    for (std::size_t j = 0; j < n; ++j) {
      if (column.numbers != nullptr) {
        out[j] = value_key(column.numbers[first + j]);
      } else {
        const std::uint32_t code = column.codes[first + j];
        out[j] = code < column.texts.size() ? code : kNoText;
      }
    }
  }
}

// Takes blocks of rows and adds the group's trees, tree after tree over each block so that a
// tree's table serves the block's rows while it is in cache.
std::size_t explain_blocks(const ExplainCall& call, const TreeGroup& group, JobQueue& blocks,
                           const CancelFlag& stop, const CancelFlag* cancel) {
  const std::size_t path_size = (call.max_depth + 3) * (call.max_depth + 4) / 2;
  std::vector<PathElement> path(path_size);
  std::vector<std::uint32_t> masks;
  std::vector<std::uint32_t> words;
  const std::size_t row_width = call.n_features * call.width;
  std::size_t done = 0;
  while (const std::optional<std::int32_t> job = blocks.try_pop()) {
    stop.throw_if_requested();
    if (cancel != nullptr) cancel->throw_if_requested();
    const std::size_t first = static_cast<std::size_t>(*job) * kBlockRows;
    const std::size_t last = std::min(first + kBlockRows, call.n_rows);
    const std::span<double> rows =
        call.contributions.subspan(first * row_width, (last - first) * row_width);
    if (group.opens) std::fill(rows.begin(), rows.end(), 0.0);
    block_words(call, first, last, words);
    for (std::size_t t = group.first; t < group.last; ++t) {
      const PreparedTree& tree = call.trees[t];
      if (tree.tabled) {
        add_tabled(call, tree, first, last, words, masks);
        continue;
      }
      for (std::size_t r = first; r < last; ++r) {
        RowWalk(call, tree, r, call.contributions.subspan(r * row_width, row_width), path).run();
      }
    }
    if (group.closes) {
      for (double& v : rows) v /= call.divisor;
    }
    ++done;
  }
  return done;
}

// Builds the tables of the group's tabled trees, a tree at a time from one queue.
std::size_t build_tables(ExplainCall& call, const TreeGroup& group, JobQueue& trees,
                         const CancelFlag& stop, const CancelFlag* cancel) {
  std::size_t done = 0;
  while (const std::optional<std::int32_t> job = trees.try_pop()) {
    stop.throw_if_requested();
    if (cancel != nullptr) cancel->throw_if_requested();
    PreparedTree& tree = call.trees[group.first + static_cast<std::size_t>(*job)];
    if (tree.tabled) tree.table = path_table(*tree.tree, tree.fraction);
    ++done;
  }
  return done;
}

// A tree is tabled when its table fits and building it costs less than walking the call's rows
// the classic way would cost beyond the table's walk (the work of a row and a leaf is d^2 in
// the classic walk, d with the table).
bool worth_a_table(const PathShape& shape, std::size_t n_rows, ExplainMethod method) {
  if (shape.max_features > kMaxTableFeatures || shape.entries > kTableBudget) return false;
  if (method != ExplainMethod::kCheapest) return method == ExplainMethod::kTable;
  return shape.build_work <= static_cast<double>(n_rows) * shape.walk_work;
}

std::vector<TreeGroup> tree_groups(const ExplainCall& call) {
  std::vector<TreeGroup> groups;
  std::size_t entries = 0;
  for (std::size_t t = 0; t < call.trees.size(); ++t) {
    const std::size_t more = call.trees[t].tabled ? call.trees[t].shape.entries : 0;
    if (groups.empty() || entries + more > kTableBudget) {
      groups.push_back(TreeGroup{t, t, false, false});
      entries = 0;
    }
    groups.back().last = t + 1;
    entries += more;
  }
  if (groups.empty()) groups.emplace_back();
  groups.front().opens = true;
  groups.back().closes = true;
  return groups;
}

ExplainCall prepare(std::span<const UpliftTreeModel> trees, std::span<const NodeStats> stats,
                    std::span<const ColumnInput> columns) {
  if (trees.size() != stats.size()) panic("explain_columns: one node statistic per tree needed");
  ExplainCall call;
  call.columns = columns;
  call.n_features = columns.size();
  const ColumnCategories categories(columns);
  for (std::size_t t = 0; t < trees.size(); ++t) {
    PreparedTree& prepared = call.trees.emplace_back();
    prepared.tree = &trees[t];
    prepared.fraction = child_fractions(trees[t], stats[t]);
    prepared.tests.resize(trees[t].nodes.size());
    prepared.packed.resize(trees[t].nodes.size());
    prepared.shape = path_shape(trees[t]);
    for (const std::uint64_t slot : reached_slots(trees[t])) {
      const TreeNode& node = trees[t].nodes[slot];
      call.max_depth = std::max(call.max_depth, slot_depth(slot));
      if (!node.is_leaf()) {
        prepared.tests[slot] = resolve(node, columns, categories);
        prepared.packed[slot] = packed_test(prepared.tests[slot]);
      } else if (call.width == 0) {
        call.width = node.prob.size();
      } else if (node.prob.size() != call.width) {
        panic("explain_columns: the leaves differ in width");
      }
    }
  }
  if (call.max_depth + 2 > kMaxPath) {
    panic("explain_columns: trees deeper than " + std::to_string(kMaxPath - 2) + " levels");
  }
  return call;
}

void run_blocks(ExplainCall& call, std::size_t n_threads, const CancelFlag* cancel,
                ExplainMethod method) {
  for (PreparedTree& tree : call.trees) {
    tree.tabled = worth_a_table(tree.shape, call.n_rows, method);
  }
  for (const TreeGroup& group : tree_groups(call)) {
    const auto first = call.trees.begin() + static_cast<std::ptrdiff_t>(group.first);
    const auto last = call.trees.begin() + static_cast<std::ptrdiff_t>(group.last);
    if (std::any_of(first, last, [](const PreparedTree& tree) { return tree.tabled; })) {
      run_row_blocks("explain_columns", group.last - group.first, 1, n_threads, cancel,
                     [&call, &group, cancel](JobQueue& trees, const CancelFlag& stop) {
                       return build_tables(call, group, trees, stop, cancel);
                     });
    }
    run_row_blocks("explain_columns", call.n_rows, kBlockRows, n_threads, cancel,
                   [&call, &group, cancel](JobQueue& blocks, const CancelFlag& stop) {
                     return explain_blocks(call, group, blocks, stop, cancel);
                   });
    for (std::size_t t = group.first; t < group.last; ++t) call.trees[t].table = PathTable{};
  }
}

}  // namespace

void explain_columns(std::span<const UpliftTreeModel> trees, std::span<const NodeStats> stats,
                     double divisor, std::span<const ColumnInput> columns, std::size_t n_rows,
                     std::span<double> contributions, std::span<double> base, std::size_t n_threads,
                     const CancelFlag* cancel, ExplainMethod method) {
  ExplainCall call = prepare(trees, stats, columns);
  call.n_rows = n_rows;
  call.divisor = divisor;
  call.contributions = contributions;
  if (base.size() != call.width || contributions.size() != n_rows * call.n_features * call.width) {
    panic("explain_columns: the outputs do not have the forest's shape");
  }
  std::fill(base.begin(), base.end(), 0.0);
  std::vector<double> sums(call.width);
  for (const PreparedTree& tree : call.trees) {
    std::fill(sums.begin(), sums.end(), 0.0);
    expected_value(tree, 0, 1.0, sums);
    for (std::size_t k = 0; k < call.width; ++k) base[k] += sums[k];
  }
  for (double& v : base) v /= divisor;
  if (n_rows > 0) run_blocks(call, n_threads, cancel, method);
}

}  // namespace quillmarsh
