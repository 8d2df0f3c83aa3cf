#include "uplift_random_forest/explain.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace quillmarsh {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The root tests x0 <= 0.5: left a leaf of 1; right tests x1 == "web": a leaf of 3, else one
// of `last`. Covers (rows of both groups) 4, 2 and 2.
UpliftTreeModel small_tree(double last) {
  UpliftTreeModel tree;
  tree.nodes.resize(7);
  tree.nodes[0].col_idx = 0;
  tree.nodes[0].split_value = SplitValue::numeric(0.5f);
  tree.nodes[1].prob = {1.0};
  tree.nodes[2].col_idx = 1;
  tree.nodes[2].split_value = SplitValue::str("web");
  tree.nodes[5].prob = {3.0};
  tree.nodes[6].prob = {last};
  return tree;
}

// Reached slots 0, 1, 2, 5, 6 as (control rows, positives, arm rows, positives).
NodeStats small_stats() {
  NodeStats s;
  s.groups = 2;
  s.base = {4, 1, 4, 2};
  s.counts = {4, 1, 4, 2, 2, 0, 2, 1, 2, 1, 2, 1, 1, 0, 1, 1, 1, 1, 1, 0};
  return s;
}

struct Explained {
  std::vector<double> phi;  // rows x 2 features x 1 output
  double base = 0.0;
};

Explained explain(const UpliftTreeModel& tree, std::size_t threads) {
  const std::vector<float> x0{1.0f, std::nanf(""), 0.0f};
  const std::vector<std::uint32_t> x1{0, 1, 0xFFFFFFFF};
  const std::vector<std::string> texts{"web", "phone"};
  const std::vector<ColumnInput> columns{{x0.data(), nullptr, {}}, {nullptr, x1.data(), texts}};
  const std::vector<UpliftTreeModel> trees{tree};
  const std::vector<NodeStats> stats{small_stats()};
  Explained out{std::vector<double>(6), 0.0};
  explain_columns(trees, stats, 1.0, columns, 3, out.phi, std::span<double>(&out.base, 1), threads,
                  nullptr);
  return out;
}

// By hand: v(S) for row 0 (x0 = 1, "web"): v() = 0.5 * 1 + 0.5 * (0.5 * 3 + 0.5 * 5) = 2.5,
// v(x0) = 4, v(x1) = 0.5 * 1 + 0.5 * 3 = 2, v(x0, x1) = 3; phi0 = (1.5 + 1) / 2,
// phi1 = (-0.5 - 1) / 2. Row 1 (NaN goes right, "phone"): v(x1) = 3, v(x0, x1) = 5.
// Row 2 (0 goes left; no category goes right): v(x0) = v(x0, x1) = 1, v(x1) = 3.
TEST(Explain, MatchesHandComputedShapleyValuesOnEveryThreadCount) {
  for (const std::size_t threads : {std::size_t{1}, std::size_t{3}}) {
    const Explained got = explain(small_tree(5.0), threads);
    EXPECT_DOUBLE_EQ(got.base, 2.5);
    const std::vector<double> expected{1.25, -0.75, 1.75, 0.75, -1.75, 0.25};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(got.phi[i], expected[i]);
  }
}

TEST(Explain, ALeafWithoutValueWeighsNothingButSpoilsTheRowsWhoseBranchLeadsThere) {
  const Explained got = explain(small_tree(kNaN), 1);
  // v() = (4 * 1 + 2 * 3) / 6; row 0 never takes a branch towards the NaN leaf
  EXPECT_DOUBLE_EQ(got.base, 10.0 / 6.0);
  EXPECT_NEAR(got.phi[0] + got.phi[1] + got.base, 3.0, 1e-15);
  EXPECT_TRUE(std::isfinite(got.phi[0]) && std::isfinite(got.phi[1]));
  // row 1 reaches it; row 2's "no category" branch at the second split leads to it
  EXPECT_TRUE(std::isnan(got.phi[2]) && std::isnan(got.phi[4]));
}

// Random forests of a given shape, explained by each method and thread count, against the
// Shapley values of the path-dependent value function computed by brute force over every set
// of features. Features 0..numeric-1 are numbers on a grid that the thresholds share (ties
// go left) with NaN now and then; the others are categories "a".."d" (splits test "a".."c")
// and rows whose text is in no table.
struct ForestShape {
  const char* name;
  std::size_t features;
  std::size_t numeric;
  std::size_t depth;
  double split_chance;  // of a node above the depth limit
  double empty_leaf;    // chance of a leaf without cover: its branch gets no share
  bool chain;           // every split's left child is a leaf (a long path)
};

class RandomForest {
 public:
  RandomForest(const ForestShape& shape, std::uint32_t seed) : shape_(shape), random_(seed) {}

  UpliftTreeModel tree(NodeStats& stats) {
    UpliftTreeModel tree;
    tree.nodes.resize((std::size_t{2} << shape_.depth) - 1);
    covers_.clear();
    grow(tree, 0, 0);
    stats = NodeStats{};
    stats.groups = 2;
    for (std::size_t slot = 0; slot < tree.nodes.size(); ++slot) {
      if (slot == 0 || (!tree.nodes[(slot - 1) / 2].is_leaf() && reached(tree, slot))) {
        const std::uint32_t rows = cover(tree, slot);
        stats.counts.insert(stats.counts.end(), {rows, 0, 0, 0});
      }
    }
    stats.base = {stats.counts[0], 0, 0, 0};
    return tree;
  }

  std::vector<ColumnInput> rows(std::size_t n) {
    numbers_.assign(shape_.features, std::vector<float>(n));
    codes_.assign(shape_.features, std::vector<std::uint32_t>(n));
    std::vector<ColumnInput> columns;
    for (std::size_t f = 0; f < shape_.features; ++f) {
      for (std::size_t r = 0; r < n; ++r) {
        numbers_[f][r] = uniform() < 0.1 ? std::nanf("") : grid();
        codes_[f][r] = uniform() < 0.1 ? 0xFFFFFFFF : static_cast<std::uint32_t>(pick(4));
      }
      columns.push_back(f < shape_.numeric ? ColumnInput{numbers_[f].data(), nullptr, {}}
                                           : ColumnInput{nullptr, codes_[f].data(), kTexts});
    }
    return columns;
  }

  static inline const std::vector<std::string> kTexts{"a", "b", "c", "d"};

 private:
  double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  float grid() { return static_cast<float>(pick(5)) * 0.5f - 1.0f; }

  // NOLINTNEXTLINE(misc-no-recursion)
  void grow(UpliftTreeModel& tree, std::size_t slot, std::size_t depth) {
    TreeNode& node = tree.nodes[slot];
    const bool split = depth < shape_.depth && (slot == 0 || uniform() < shape_.split_chance);
    if (!split) {
      node.prob = {uniform() * 2.0 - 1.0, uniform() - 0.5};
      covers_.emplace(slot,
                      uniform() < shape_.empty_leaf ? 0 : 1 + static_cast<std::uint32_t>(pick(50)));
      return;
    }
    node.col_idx =
        static_cast<std::int32_t>(shape_.chain ? depth % shape_.features : pick(shape_.features));
    node.split_value = static_cast<std::size_t>(node.col_idx) < shape_.numeric
                           ? SplitValue::numeric(grid())
                           : SplitValue::str(kTexts[pick(3)]);
    if (shape_.chain) {
      tree.nodes[2 * slot + 1].prob = {uniform() - 0.5, uniform() - 0.5};
      covers_.emplace(2 * slot + 1, 1 + static_cast<std::uint32_t>(pick(50)));
      grow(tree, 2 * slot + 2, depth + 1);
      return;
    }
    grow(tree, 2 * slot + 1, depth + 1);
    grow(tree, 2 * slot + 2, depth + 1);
  }

  static bool reached(const UpliftTreeModel& tree, std::size_t slot) {
    for (; slot > 0; slot = (slot - 1) / 2) {
      if (tree.nodes[(slot - 1) / 2].is_leaf()) return false;
    }
    return true;
  }
  // NOLINTNEXTLINE(misc-no-recursion)
  std::uint32_t cover(const UpliftTreeModel& tree, std::size_t slot) {
    if (tree.nodes[slot].is_leaf()) return covers_.at(slot);
    return cover(tree, 2 * slot + 1) + cover(tree, 2 * slot + 2);
  }

  ForestShape shape_;
  std::mt19937 random_;
  std::map<std::size_t, std::uint32_t> covers_;
  std::vector<std::vector<float>> numbers_;
  std::vector<std::vector<std::uint32_t>> codes_;
};

// The path-dependent value of a coalition (bit f of `known`): a known feature routes the row,
// an unknown one follows both children weighted by their covers (equal shares when neither has
// any), stated here from scratch.
class BruteForce {
 public:
  BruteForce(const UpliftTreeModel& tree, const NodeStats& stats,
             std::span<const ColumnInput> columns)
      : tree_(tree), columns_(columns) {
    std::size_t index = 0;
    for (std::size_t slot = 0; slot < tree.nodes.size(); ++slot) {
      if (slot == 0 ||
          (!tree.nodes[(slot - 1) / 2].is_leaf() && covers_.contains((slot - 1) / 2))) {
        covers_[slot] = stats.counts[4 * index] + stats.counts[4 * index + 2];
        ++index;
      }
    }
  }

  // NOLINTNEXTLINE(misc-no-recursion)
  double value(std::size_t slot, std::size_t row, std::uint32_t known, std::size_t k) const {
    const TreeNode& node = tree_.nodes[slot];
    if (node.is_leaf()) return node.prob[k];
    const auto f = static_cast<std::size_t>(node.col_idx);
    const std::size_t left = 2 * slot + 1;
    if ((known >> f & 1u) != 0) return value(goes_left(node, row) ? left : left + 1, row, known, k);
    const double cl = subtree(left);
    const double cr = subtree(left + 1);
    const double wl = cl + cr > 0 ? cl / (cl + cr) : 0.5;
    double total = 0.0;
    if (wl > 0) total += wl * value(left, row, known, k);
    if (wl < 1) total += (1 - wl) * value(left + 1, row, known, k);
    return total;
  }

 private:
  bool goes_left(const TreeNode& node, std::size_t row) const {
    const ColumnInput& column = columns_[static_cast<std::size_t>(node.col_idx)];
    if (node.split_value.is_numeric()) return column.numbers[row] <= node.split_value.as_numeric();
    const std::uint32_t code = column.codes[row];
    return code < column.texts.size() && column.texts[code] == node.split_value.as_str();
  }
  // NOLINTNEXTLINE(misc-no-recursion)
  double subtree(std::size_t slot) const {
    if (tree_.nodes[slot].is_leaf()) return covers_.at(slot);
    return subtree(2 * slot + 1) + subtree(2 * slot + 2);
  }

  const UpliftTreeModel& tree_;
  std::span<const ColumnInput> columns_;
  std::map<std::size_t, double> covers_;
};

// phi[(r * F + f) * 2 + k] and base[k] of the mean over the trees, by brute force.
void brute_force(const std::vector<UpliftTreeModel>& trees, const std::vector<NodeStats>& stats,
                 std::span<const ColumnInput> columns, std::size_t n_rows, std::vector<double>& phi,
                 std::vector<double>& base) {
  const std::size_t features = columns.size();
  const std::uint32_t sets = 1u << features;
  std::vector<double> weight(features);  // |S|! (F - |S| - 1)! / F!
  for (std::size_t s = 0; s < features; ++s) {
    const auto size = static_cast<double>(s);
    const auto all = static_cast<double>(features);
    weight[s] = std::tgamma(size + 1.0) * std::tgamma(all - size) / std::tgamma(all + 1.0);
  }
  phi.assign(n_rows * features * 2, 0.0);
  base.assign(2, 0.0);
  std::vector<double> v(sets);
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const BruteForce tree(trees[t], stats[t], columns);
    for (std::size_t k = 0; k < 2; ++k) {
      base[k] += tree.value(0, 0, 0, k) / static_cast<double>(trees.size());
      for (std::size_t r = 0; r < n_rows; ++r) {
        for (std::uint32_t set = 0; set < sets; ++set) v[set] = tree.value(0, r, set, k);
        for (std::size_t f = 0; f < features; ++f) {
          double total = 0.0;
          for (std::uint32_t set = 0; set < sets; ++set) {
            if ((set >> f & 1u) != 0) continue;
            total +=
                weight[static_cast<std::size_t>(std::popcount(set))] * (v[set | 1u << f] - v[set]);
          }
          phi[(r * features + f) * 2 + k] += total / static_cast<double>(trees.size());
        }
      }
    }
  }
}

TEST(Explain, EveryMethodGivesTheShapleyValuesOfRandomTrees) {
  const std::vector<ForestShape> shapes{
      {"bushy, repeated features", 5, 3, 6, 0.8, 0.0, false},
      {"categories only", 4, 0, 5, 0.8, 0.0, false},
      {"leaves without cover", 5, 2, 5, 0.8, 0.3, false},
      {"deep path of 3 features", 3, 3, 16, 0.95, 0.0, true},
      {"path of 14 features, beyond a table", 14, 10, 14, 1.0, 0.0, true},
  };
  constexpr std::size_t kRows = 70;  // two blocks of rows
  for (const ForestShape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    RandomForest random(shape, 11);
    std::vector<NodeStats> stats(3);
    std::vector<UpliftTreeModel> trees;
    for (NodeStats& s : stats) trees.push_back(random.tree(s));
    const std::vector<ColumnInput> columns = random.rows(kRows);
    std::vector<double> expected;
    std::vector<double> expected_base;
    brute_force(trees, stats, columns, kRows, expected, expected_base);
    for (const ExplainMethod method :
         {ExplainMethod::kTable, ExplainMethod::kWalk, ExplainMethod::kCheapest}) {
      for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
        std::vector<double> phi(expected.size(), kNaN);
        std::vector<double> base(2, kNaN);
        explain_columns(trees, stats, 3.0, columns, kRows, phi, base, threads, nullptr, method);
        for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(base[k], expected_base[k], 1e-12);
        for (std::size_t i = 0; i < phi.size(); ++i) {
          ASSERT_NEAR(phi[i], expected[i], 1e-12)
              << "method " << static_cast<int>(method) << ", " << threads << " threads, row "
              << i / (2 * shape.features) << ", feature " << i / 2 % shape.features;
        }
      }
    }
  }
}

// Leaves without a value (NaN) in trees of the random shapes: the table spoils exactly the
// contributions the walk spoils, and agrees with it elsewhere.
TEST(Explain, TheTableAndTheWalkAgreeOnLeavesWithoutValue) {
  const ForestShape shape{"bushy", 5, 3, 6, 0.8, 0.2, false};
  RandomForest random(shape, 5);
  std::vector<NodeStats> stats(4);
  std::vector<UpliftTreeModel> trees;
  for (NodeStats& s : stats) trees.push_back(random.tree(s));
  std::size_t spoiled = 0;
  for (UpliftTreeModel& tree : trees) {
    for (TreeNode& node : tree.nodes) {
      if (node.is_leaf() && spoiled++ % 17 == 5) node.prob[1] = kNaN;
    }
  }
  const std::vector<ColumnInput> columns = random.rows(100);
  std::vector<double> table(100 * 5 * 2);
  std::vector<double> walk(table.size());
  std::vector<double> base(2);
  explain_columns(trees, stats, 4.0, columns, 100, table, base, 1, nullptr, ExplainMethod::kTable);
  explain_columns(trees, stats, 4.0, columns, 100, walk, base, 1, nullptr, ExplainMethod::kWalk);
  std::size_t nan = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    ASSERT_EQ(std::isnan(table[i]), std::isnan(walk[i])) << i;
    if (std::isnan(walk[i])) {
      ++nan;
    } else {
      ASSERT_NEAR(table[i], walk[i], 1e-12) << i;
    }
  }
  EXPECT_GT(nan, 0u);
  EXPECT_LT(nan, table.size() / 2);
}

}  // namespace
}  // namespace quillmarsh
