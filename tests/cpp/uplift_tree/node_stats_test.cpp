#include "uplift_tree/node_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "concurrency/rng.hpp"
#include "uplift_tree/tree_sample.hpp"

namespace quillmarsh {
namespace {

// A depth-2 tree: the root splits, its left child splits, its right child is a leaf.
UpliftTreeModel small_tree() {
  UpliftTreeModel tree;
  tree.nodes.resize(7);
  tree.nodes[0].col_idx = 0;
  tree.nodes[1].col_idx = 0;
  tree.nodes[2].prob = {0.0};
  tree.nodes[3].prob = {0.0};
  tree.nodes[4].prob = {0.0};
  return tree;
}

// Counts per reached slot 0, 1, 2, 3, 4 as (control rows, positives, arm rows, positives).
NodeStats small_stats(bool fallback) {
  NodeStats s;
  s.groups = 2;
  s.fallback = fallback;
  s.base = {40, 10, 0, 0};
  s.counts = {20, 4, 0, 0,   // root: no arm row at all
              10, 5, 0, 0,   // slot 1
              10, 2, 8, 6,   // slot 2
              0,  0, 0, 0,   // slot 3: empty
              4,  1, 0, 0};  // slot 4
  return s;
}

TEST(NodeStats, LeafRatesFollowTheLeafRuleByHand) {
  const UpliftTreeModel tree = small_tree();
  EXPECT_EQ(reached_slots(tree), (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
  const std::vector<std::int64_t> index = reached_index(tree);
  const NodeStats honest = small_stats(true);
  // slot 2 has both groups: its own rates
  EXPECT_EQ(leaf_rates(honest, index, 2), (std::vector<double>{0.2, 0.75}));
  // slot 3 is empty: control from slot 1 (5/10); the arm has no row up to the root and the
  // base has none either: NaN
  std::vector<double> r3 = leaf_rates(honest, index, 3);
  EXPECT_EQ(r3[0], 0.5);
  EXPECT_TRUE(std::isnan(r3[1]));
  // slot 4 has control rows: 1/4
  EXPECT_EQ(leaf_rates(honest, index, 4)[0], 0.25);
  // without fallback a leaf keeps its own 0/0
  const NodeStats plain = small_stats(false);
  EXPECT_TRUE(std::isnan(leaf_rates(plain, index, 3)[0]));
  // the rate tree holds the rates in the leaves and nothing else changes
  const UpliftTreeModel rates = rate_tree(tree, honest);
  EXPECT_EQ(rates.nodes[2].prob, (std::vector<double>{0.2, 0.75}));
  EXPECT_FALSE(rates.nodes[0].is_leaf());
}

TEST(NodeStats, SerialisedFormRoundTripsAndIsCheckedAgainstTheTrees) {
  const std::vector<UpliftTreeModel> trees{small_tree()};
  const std::vector<NodeStats> stats{small_stats(true)};
  const std::vector<NodeStats> back = parse_stats(serialise_stats(stats), trees);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].counts, stats[0].counts);
  EXPECT_EQ(back[0].base, stats[0].base);
  EXPECT_TRUE(back[0].fallback);
  std::vector<std::uint32_t> words = serialise_stats(stats);
  words.pop_back();
  EXPECT_ANY_THROW(parse_stats(words, trees));
  words = serialise_stats(stats);
  words[3 + 4 + 1] = 21;  // more positives than the root's 20 control rows
  EXPECT_ANY_THROW(parse_stats(words, trees));
}

TEST(HalfSample, TakesHalfOfEveryGroupInOrderFromItsStream) {
  RowVector rows;
  std::vector<std::uint32_t> words(1000);
  for (RowIndex r = 0; r < 1000; r += 2) rows.push_back(r);  // 500 rows
  for (RowIndex r = 0; r < 1000; ++r) words[r] = (r % 7 == 0 ? 2u : r % 3 == 0 ? 1u : 0u) << 8;
  words[998] = 3u << 8;  // group 3 has a single row: it is kept
  Rng a = Rng::derived(9, {1, 2, 3});
  Rng b = Rng::derived(9, {1, 2, 3});
  const RowVector half = half_sample(rows, words, a);
  EXPECT_EQ(half, half_sample(rows, words, b));
  EXPECT_TRUE(std::is_sorted(half.begin(), half.end()));
  std::map<std::uint32_t, std::uint64_t> all;
  std::map<std::uint32_t, std::uint64_t> kept;
  for (const RowIndex r : rows) ++all[words[r] >> 8];
  for (const RowIndex r : half) ++kept[words[r] >> 8];
  for (const auto& [group, n] : all) EXPECT_EQ(kept[group], std::max<std::uint64_t>(n / 2, 1));
}

}  // namespace
}  // namespace quillmarsh
