#include "uplift_random_forest/train.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "concurrency/thread.hpp"
#include "forest_support.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::Floats;
using testing_data::make_columns;
using testing_data::Texts;

// Collects the progress lines; optionally fails on the line with the given index.
class RecordingSink : public ProgressSink {
 public:
  explicit RecordingSink(std::size_t fail_at = SIZE_MAX) : fail_at_(fail_at) {}
  void print_line(std::string line) override {
    if (lines.size() == fail_at_) panic("printing failed");
    lines.push_back(std::move(line));
  }
  std::vector<std::string> lines;

 private:
  std::size_t fail_at_;
};

UpliftRandomForestModel forest(std::int32_t n_estimators, std::string eval_func = "ED",
                               std::uint64_t max_depth = 3, std::uint64_t max_features = 3,
                               std::uint64_t max_bins = 10) {
  return make_forest(n_estimators, max_features, max_depth, 20, std::move(eval_func), max_bins,
                     false, false, 0.9);
}

std::function<TrainingColumns()> experiment(std::uint64_t seed, std::size_t rows = 800,
                                            std::int32_t groups = 3, double effect = 0.3) {
  return [=] {
    Rng rng(seed);
    return testing_data::random_experiment(rng, rows, 4, 1, groups, false, effect);
  };
}

std::vector<std::string> expected_lines(const std::string& start, std::size_t from,
                                        std::size_t to) {
  std::vector<std::string> lines = {start};
  for (std::size_t i = from; i <= to; ++i) {
    lines.push_back("Tree [" + std::to_string(i) + "] is finished!");
  }
  return lines;
}

TEST(Fit, GrowsEveryTreeAndNumbersTheLinesInOrder) {
  UpliftRandomForestModel model = forest(7);
  RecordingSink sink;
  fit(model, experiment(1), "arm", "bought", 2, sink);
  EXPECT_EQ(sink.lines, expected_lines("Start training with 2 threads...", 1, 7));
  ASSERT_EQ(model.trees.size(), 7u);
  EXPECT_EQ(model.treatment_col, "arm");
  EXPECT_EQ(model.outcome_col, "bought");
  for (const UpliftTreeModel& tree : model.trees) {
    EXPECT_EQ(tree.nodes.size(), 15u);
    EXPECT_EQ(tree.treatment_col, "arm");
    EXPECT_EQ(tree.feature_cols, (std::vector<std::string>{"x0", "x1", "x2", "x3", "s0"}));
    EXPECT_EQ(tree.eval_func, EvalFunc::Euclidean);
    EXPECT_EQ(tree.min_sample_leaf, 20u);
  }
}

TEST(Fit, SecondFitAppendsAndContinuesTheNumbering) {
  UpliftRandomForestModel model = forest(3, "KL");
  RecordingSink first;
  fit(model, experiment(2), "arm", "bought", 1, first);
  RecordingSink second;
  fit(model, experiment(3, 500, 2), "t2", "y2", 1, second);
  EXPECT_EQ(second.lines, expected_lines("Start training with 1 threads...", 4, 6));
  ASSERT_EQ(model.trees.size(), 6u);
  EXPECT_EQ(model.trees[0].treatment_col, "arm");
  EXPECT_EQ(model.trees[5].treatment_col, "t2");
  EXPECT_EQ(model.treatment_col, "t2");
}

class NoTrees : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(NoTrees, ZeroOrNegativeEstimatorsPrintOnlyTheStartLine) {
  UpliftRandomForestModel model = forest(GetParam());
  RecordingSink sink;
  fit(model, experiment(4), "arm", "bought", 2, sink);
  EXPECT_EQ(sink.lines, (std::vector<std::string>{"Start training with 2 threads..."}));
  EXPECT_TRUE(model.trees.empty());
}
INSTANTIATE_TEST_SUITE_P(Counts, NoTrees, ::testing::Values(0, -1, -1000));

TEST(Fit, NegativeThreadCountMeansEveryLogicalProcessor) {
  UpliftRandomForestModel model = forest(2);
  RecordingSink sink;
  fit(model, experiment(5), "arm", "bought", -1, sink);
  EXPECT_EQ(sink.lines.at(0),
            "Start training with " + std::to_string(logical_processors()) + " threads...");
  EXPECT_EQ(model.trees.size(), 2u);
}

struct FailureCase {
  const char* name;
  UpliftRandomForestModel model;
  std::int32_t n_threads;
  std::function<TrainingColumns()> intake;
  std::string message;
  std::vector<std::string> lines;
};

class FitFailure : public ::testing::TestWithParam<FailureCase> {};

// Each failure ends fit with its message, after the lines printed before it, adding no tree and
// keeping the new column names.
TEST_P(FitFailure, ReportsItsMessageAndAddsNoTree) {
  UpliftRandomForestModel model = GetParam().model;
  RecordingSink sink;
  EXPECT_EQ(panic_message([&] {
              fit(model, GetParam().intake, "arm", "bought", GetParam().n_threads, sink);
            }),
            GetParam().message);
  EXPECT_EQ(sink.lines, GetParam().lines);
  EXPECT_TRUE(model.trees.empty());
  EXPECT_EQ(model.treatment_col, "arm");
  EXPECT_EQ(model.outcome_col, "bought");
}

std::function<TrainingColumns()> control_only() {
  return [] { return make_columns({{"f", Floats{1, 2, 3, 4}}}, {0, 0, 0, 0}, {0, 1, 0, 1}); };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FitFailure,
    ::testing::Values(
        FailureCase{"zero_threads",
                    forest(3),
                    0,
                    experiment(6),
                    "assertion failed: num_threads > 0",
                    {"Start training with 0 threads..."}},
        FailureCase{"bad_eval_func",
                    forest(3, "ed"),
                    2,
                    experiment(6),
                    "bad eval func",
                    {"Start training with 2 threads..."}},
        FailureCase{"intake_failure",
                    forest(3),
                    2,
                    []() -> TrainingColumns { panic("BAD type of column: f"); },
                    "BAD type of column: f",
                    {}},
        FailureCase{"inconsistent_columns",
                    forest(3),
                    2,
                    [] { return make_columns({{"f", Floats{1}}}, {0, 1}, {0, 1}); },
                    "feature column 'f' has 1 values but the treatment column 'arm' has 2",
                    {}},
        FailureCase{"only_control_rows",
                    forest(5),
                    2,
                    control_only(),
                    "assertion failed: v.len() % 2 == 0 && v.len() >= 4",
                    {"Start training with 2 threads..."}},
        FailureCase{"depth_beyond_64_bits",
                    forest(1, "ED", 63),
                    2,
                    experiment(6),
                    "max_depth 63 is too deep: a tree of that depth has more than 2^64 node "
                    "slots",
                    {"Start training with 2 threads..."}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Fit, DepthTooDeepForMemoryIsRefusedBeforeAnyTreeGrows) {
  UpliftRandomForestModel model = forest(1, "ED", 45);
  RecordingSink sink;
  const std::string message = panic_message([&] { fit(model, experiment(7), "a", "b", 2, sink); });
  EXPECT_EQ(message.rfind("max_depth 45 is too deep: 1 tree(s) of ", 0), 0u) << message;
  EXPECT_TRUE(model.trees.empty());
}

// Zero estimators grow nothing, so no depth is too deep.
TEST(Fit, DepthIsNotCheckedWhenNoTreeGrows) {
  UpliftRandomForestModel model = forest(0, "ED", 63);
  RecordingSink sink;
  fit(model, experiment(7), "a", "b", 1, sink);
  EXPECT_TRUE(model.trees.empty());
}

// The sink fails on the third line (the second tree): fit ends with that failure, the first
// tree stays, and the training threads still running end on their own.
TEST(Fit, PrintingFailureKeepsTheTreesAppendedSoFar) {
  UpliftRandomForestModel model = forest(6);
  RecordingSink sink(2);
  EXPECT_EQ(panic_message([&] { fit(model, experiment(8), "a", "b", 2, sink); }),
            "printing failed");
  EXPECT_EQ(model.trees.size(), 2u);  // appended before its line failed
  EXPECT_EQ(sink.lines.size(), 2u);
}

// Cancelling a run stops its trees before their next node, in subtree jobs as on the growing
// threads: at most the trees already past their last node still arrive, and every thread
// of the run ends.
TEST(TrainingRun, CancelStopsTheTreesInFlight) {
  Rng rng(12);
  const TrainingRoot root =
      testing_data::make_node(testing_data::random_experiment(rng, 30000, 4, 1, 3, false));
  const UpliftTreeModel tree_template =
      make_tree_template(8, 20, 3, EvalFunc::KL, 10, false, false, 0.9);
  TrainingRun run(root, tree_template, "t", "y", TrainingPlan{200, 2, std::uint64_t{7}, {}});
  ASSERT_TRUE(run.next().has_value());
  run.cancel();
  int arrived = 1;
  while (std::optional<TreeOutcome> outcome = run.next()) {
    EXPECT_TRUE(outcome->tree.has_value()) << "a cancelled tree is not reported as a failure";
    ++arrived;
  }
  EXPECT_LT(arrived, 20);
  run.wait_for_threads();
  // The cancelled trees reported no failure: only the count shows that they are missing.
  EXPECT_EQ(panic_message([&] { require_every_outcome(arrived, run); }),
            "training ended with " + std::to_string(arrived) +
                " of 200 trees: the training threads stopped early");
}

// A thread count far beyond the work starts only the threads that work can use: training
// threads up to the number of trees, pool threads up to what they can search at once.
TEST(Fit, AHugeThreadCountStartsOnlyUsefulThreads) {
  UpliftRandomForestModel model = forest(2);
  RecordingSink sink;
  fit(model, experiment(5), "a", "b", std::numeric_limits<std::int32_t>::max(), sink);
  EXPECT_EQ(model.trees.size(), 2u);
}

// x0 alone drives the uplift (+0.3 for treated rows where x0 > 0.5): every tree splits the root
// on x0 near 0.5, and the leaves' uplift follows the true effect on each side.
TEST(Fit, FindsThePlantedUplift) {
  UpliftRandomForestModel model = make_forest(8, 5, 2, 100, "ED", 10, false, false, 0.9);
  RecordingSink sink;
  Rng data_rng(9);
  const testing_data::TestColumns columns =
      testing_data::random_experiment(data_rng, 20000, 4, 1, 2, false);
  fit(model, [&] { return columns.training(); }, "t", "y", 2, sink);
  ASSERT_EQ(model.trees.size(), 8u);
  const TrainingRoot data = testing_data::make_node(columns);
  const Dataset& d = *data.dataset;
  double low = 0.0;
  double high = 0.0;
  std::size_t n_low = 0;
  std::size_t n_high = 0;
  for (const UpliftTreeModel& tree : model.trees) {
    EXPECT_EQ(tree.nodes[0].col_name, "x0");
    EXPECT_EQ(tree.nodes[0].col_idx, 0);
    EXPECT_NEAR(tree.nodes[0].split_value.as_numeric(), 0.5, 0.1);
    for (RowIndex r = 0; r < d.n_rows(); r += 7) {
      const double u = tree.nodes[testing_data::leaf_of(d, tree, r)].prob.at(0);
      if (d.num_cols[0][r] > 0.6f) {
        high += u;
        ++n_high;
      } else if (d.num_cols[0][r] < 0.4f) {
        low += u;
        ++n_low;
      }
    }
  }
  EXPECT_NEAR(high / static_cast<double>(n_high), 0.3, 0.05);
  EXPECT_NEAR(low / static_cast<double>(n_low), 0.0, 0.05);
}

// The trees of a seeded run, by job number.
std::vector<UpliftTreeModel> seeded_trees(const TrainingRoot& root, const UpliftTreeModel& tmpl,
                                          std::int32_t threads, const TreeOptions& options) {
  const TrainingPlan plan{6, threads, std::uint64_t{21}, options};
  TrainingRun run(root, tmpl, "t", "y", plan);
  std::vector<UpliftTreeModel> trees(6);
  while (std::optional<TreeOutcome> outcome = run.next()) {
    EXPECT_TRUE(outcome->tree.has_value()) << outcome->failure;
    if (outcome->tree) trees[static_cast<std::size_t>(outcome->index)] = std::move(*outcome->tree);
  }
  run.wait_for_threads();
  return trees;
}

// Every option draws from the trees' own streams: the same seed grows the same trees on one
// thread as on three, and each option changes them.
TEST(TrainingRun, SeededTreesWithOptionsDoNotDependOnThreads) {
  Rng rng(5);
  const TrainingRoot root =
      testing_data::make_node(testing_data::random_experiment(rng, 4000, 4, 1, 3, true));
  const UpliftTreeModel tmpl = make_tree_template(5, 10, 3, EvalFunc::KL, 10, false, false, 0.9);
  const std::vector<UpliftTreeModel> plain = seeded_trees(root, tmpl, 2, TreeOptions{});
  TreeOptions sampled;
  sampled.max_samples = 2500;
  TreeOptions bootstrap;
  bootstrap.bootstrap = true;
  TreeOptions honest;
  honest.honest_fraction = 0.4;
  TreeOptions minimum;
  minimum.min_samples_treatment = 60;
  TreeOptions all = bootstrap;
  all.max_samples = 3000;
  all.honest_fraction = 0.5;
  all.min_samples_treatment = 20;
  for (const TreeOptions& options : {sampled, bootstrap, honest, minimum, all}) {
    const std::vector<UpliftTreeModel> one = seeded_trees(root, tmpl, 1, options);
    EXPECT_EQ(seeded_trees(root, tmpl, 3, options), one);
    EXPECT_NE(one, plain);
  }
}

}  // namespace
}  // namespace quillmarsh
