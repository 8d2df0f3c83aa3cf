// Seeded forests pinned to the byte: every setting below trains a forest from a fixed seed and
// compares the digest of its model document with the one recorded when the training code was
// known good: plain forests, and forests with each option on the rows and splits of a tree
// (row samples with and without replacement, honest trees, group minimums). Speed work on
// split search and growth must leave every digest unchanged.
//
// A digest changes only when a stored number changes. If that is intended (a new sampling
// rule, a changed measure), rerun this program with QUILLMARSH_GOLDEN_PRINT=1, check why every
// listed forest moved, and paste the printed table over kGolden.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "forest_support.hpp"
#include "model_file/json_writer.hpp"
#include "uplift_random_forest/train.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

struct GoldenCase {
  const char* name;
  std::size_t rows;
  std::int32_t groups;
  bool rough;  // NaN and heavily repeated numeric values
  const char* eval_func;
  bool balance;
  bool regularization;
  std::uint64_t max_depth;
  std::uint64_t min_sample_leaf;
  std::uint64_t max_features;
  std::uint64_t max_bins;
  TreeOptions tree = {};  // samples, honesty, group minimums: all off unless given
};

TreeOptions sampled(std::optional<std::uint64_t> max_samples, bool bootstrap,
                    std::optional<double> honest_fraction = std::nullopt) {
  return TreeOptions{max_samples, bootstrap, honest_fraction, std::nullopt};
}

TreeOptions honest(double fraction) { return sampled(std::nullopt, false, fraction); }

TreeOptions group_minimum(std::uint64_t rows) {
  TreeOptions options;
  options.min_samples_treatment = rows;
  return options;
}

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

struct Golden {
  const char* name;
  std::uint64_t digest;
};

// QUILLMARSH_GOLDEN_PRINT=1 prints this table for the current code.
constexpr Golden kGolden[] = {
    {"ed_plain", 0xf6718fd8180ec111ull},
    {"ed_rough_balanced", 0xbd0b0a333ad3e46cull},
    {"kl_rough", 0xab4e0ab8359fe30cull},
    {"kl_balanced_regularized", 0x79db88dd75e64231ull},
    {"chi_regularized", 0x67cfc6af3dfd35b8ull},
    {"chi_balanced", 0x035f7940ce00c703ull},
    {"ed_many_bins", 0xf8f58efafbb16dbcull},
    {"kl_one_feature", 0xaa6de41300b5059cull},
    {"chi_deep_small_leaves", 0x80aa0a4fbc8ae4e0ull},
    {"kl_honest", 0xa8b33332d55a6f82ull},
    {"ed_half_sample", 0xe40c80a839585e10ull},
    {"chi_bootstrap", 0xfa8ddd074d683fc2ull},
    {"kl_bootstrap_more_honest", 0x828f85f1e08b8302ull},
    {"kl_sample_honest", 0x2b1018609c886a4bull},
    {"ed_group_minimum", 0x7bfff9e46ed2723cull},
    {"chi_every_option", 0x55a801cbba170ee2ull},
};

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

// Five numeric and two string features from random_experiment, plus a string column of 40
// categories (a dense category lookup) and an integer-valued column (long runs of ties).
testing_data::TestColumns golden_columns(const GoldenCase& c) {
  Rng rng(c.rows * 31 + static_cast<std::uint64_t>(c.groups));
  testing_data::TestColumns columns =
      testing_data::random_experiment(rng, c.rows, 5, 2, c.groups, c.rough, 0.25);
  testing_data::Texts wide(c.rows);
  testing_data::Floats steps(c.rows);
  for (std::size_t r = 0; r < c.rows; ++r) {
    wide[r] = numbered("w", rng.below(40));
    steps[r] = static_cast<float>(rng.below(10));
  }
  columns.x_names.push_back("wide");
  columns.features.emplace_back(std::move(wide));
  columns.x_names.push_back("steps");
  columns.features.emplace_back(std::move(steps));
  return columns;
}

// The document of the forest trained with `n_threads`, its trees in job order.
std::string train(const GoldenCase& c, const TrainingRoot& root, std::int32_t n_threads) {
  UpliftRandomForestModel forest =
      make_forest(4, c.max_features, c.max_depth, c.min_sample_leaf, c.eval_func, c.max_bins,
                  c.balance, c.regularization, 0.75);
  const UpliftTreeModel tree_template = make_tree_template(forest, parse_eval_func(c.eval_func));
  TrainingRun run(root, tree_template, "t", "y",
                  TrainingPlan{forest.n_estimators, n_threads, std::uint64_t{20240917}, c.tree});
  forest.trees.resize(static_cast<std::size_t>(forest.n_estimators));
  while (std::optional<TreeOutcome> outcome = run.next()) {
    EXPECT_TRUE(outcome->tree.has_value()) << outcome->failure;
    if (outcome->tree) forest.trees.at(static_cast<std::size_t>(outcome->index)) = *outcome->tree;
  }
  // A forest of bare roots would hold the split search to nothing.
  const auto splits_its_root = [](const UpliftTreeModel& tree) {
    return !tree.nodes.empty() && !tree.nodes[0].is_leaf();
  };
  EXPECT_TRUE(std::any_of(forest.trees.begin(), forest.trees.end(), splits_its_root))
      << c.name << ": no tree split its root";
  forest.treatment_col = "t";
  forest.outcome_col = "y";
  return write_model_json(forest);
}

class GoldenForest : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenForest, SameSeedGivesTheRecordedDocumentOnEveryThreadCount) {
  const GoldenCase& c = GetParam();
  const TrainingRoot root = testing_data::make_node(golden_columns(c));
  const std::string one = train(c, root, 1);
  const std::uint64_t digest = fnv1a(one);
  if (const char* print = std::getenv("QUILLMARSH_GOLDEN_PRINT"); print && *print == '1') {
    std::printf("    {\"%s\", 0x%016llxull},\n", c.name, static_cast<unsigned long long>(digest));
  }
  EXPECT_EQ(train(c, root, 2), one) << "the thread count changed the forest";
  std::uint64_t expected = 0;
  for (const Golden& g : kGolden) {
    if (std::string(g.name) == c.name) expected = g.digest;
  }
  EXPECT_EQ(digest, expected) << c.name << ": the forest differs from the recorded one";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, GoldenForest,
    ::testing::Values(
        // name rows groups rough measure balance regularization depth leaf features bins
        GoldenCase{"ed_plain", 30000, 3, false, "ED", false, false, 6, 40, 4, 10},
        GoldenCase{"ed_rough_balanced", 30000, 3, true, "ED", true, false, 6, 40, 4, 10},
        GoldenCase{"kl_rough", 30000, 2, true, "KL", false, false, 7, 30, 5, 10},
        GoldenCase{"kl_balanced_regularized", 20000, 4, true, "KL", true, true, 6, 25, 9, 6},
        GoldenCase{"chi_regularized", 30000, 3, true, "CHI", false, true, 6, 40, 3, 4},
        GoldenCase{"chi_balanced", 20000, 5, false, "CHI", true, false, 5, 20, 20, 12},
        GoldenCase{"ed_many_bins", 12000, 2, true, "ED", false, true, 5, 15, 6, 120},
        GoldenCase{"kl_one_feature", 8000, 3, true, "KL", false, false, 8, 5, 1, 3},
        GoldenCase{"chi_deep_small_leaves", 6000, 2, true, "CHI", true, true, 10, 2, 4, 8},
        // the options on each tree's rows and splits
        GoldenCase{"kl_honest", 20000, 3, true, "KL", false, false, 6, 30, 5, 10, honest(0.3)},
        GoldenCase{"ed_half_sample", 20000, 3, false, "ED", false, false, 6, 30, 5, 10,
                   sampled(10000, false)},
        GoldenCase{"chi_bootstrap", 12000, 2, true, "CHI", true, false, 6, 20, 4, 8,
                   sampled(std::nullopt, true)},
        GoldenCase{"kl_bootstrap_more_honest", 12000, 4, true, "KL", true, true, 6, 20, 6, 10,
                   sampled(15000, true, 0.4)},
        GoldenCase{"kl_sample_honest", 16000, 5, false, "KL", false, false, 6, 20, 6, 10,
                   sampled(5000, false, 0.3)},
        GoldenCase{"ed_group_minimum", 20000, 3, true, "ED", false, true, 7, 10, 5, 10,
                   group_minimum(25)},
        GoldenCase{"chi_every_option", 16000, 3, true, "CHI", false, false, 6, 20, 5, 10,
                   TreeOptions{8000, true, 0.3, 10}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace quillmarsh
