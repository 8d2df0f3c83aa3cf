#include "uplift_random_forest/explain.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

}  // namespace
}  // namespace quillmarsh
