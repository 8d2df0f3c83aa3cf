#include "uplift_tree/dataset.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::Floats;
using testing_data::make_columns;
using testing_data::make_node;
using testing_data::Texts;

TEST(BuildDataset, CodesColumnsInAppendOrderAndKeepsTheLastDuplicate) {
  const TrainingRoot node = make_node(make_columns({{"a", Floats{1, 2, 3}},
                                                    {"s", Texts{"x", "y", "x"}},
                                                    {"b", Floats{4, 5, 6}},
                                                    {"a", Floats{7, 8, 9}},
                                                    {"t", Texts{"p", "q", "r"}}},
                                                   {0, 1, 0}, {0, 1, 1}));
  const Dataset& d = *node.dataset;
  EXPECT_EQ(d.x_names, (std::vector<std::string>{"a", "s", "b", "a", "t"}));
  const auto where = [&](const char* name) {
    const ColumnRef ref = d.column(name);
    return std::pair(ref.is_numeric(), ref.index);
  };
  EXPECT_EQ(where("a"), std::pair(true, 2u));  // the second "a" is the third numeric column
  EXPECT_EQ(where("b"), std::pair(true, 1u));
  EXPECT_EQ(where("s"), std::pair(false, 0u));
  EXPECT_EQ(where("t"), std::pair(false, 1u));
  ASSERT_EQ(d.num_cols.size(), 3u);
  EXPECT_EQ(Floats(d.num_cols[2].begin(), d.num_cols[2].end()), (Floats{7, 8, 9}));
  EXPECT_EQ(panic_message([&] { d.column("missing"); }),
            "called `Option::unwrap()` on a `None` value");
}

TEST(BuildDataset, StringColumnsKeepEveryTextByteForByte) {
  const Texts texts = {"Red",
                       "red",
                       "",
                       "Red",
                       "r\xc3\xa9"
                       "d",
                       "red ",
                       ""};
  const TrainingRoot node =
      make_node(make_columns({{"s", texts}}, {0, 1, 0, 1, 0, 1, 0}, {0, 0, 0, 0, 0, 0, 0}));
  const StringCodes& col = node.dataset->str_cols.at(0);
  EXPECT_EQ(col.dictionary.size(), 5u);  // equal texts share one code
  for (RowIndex r = 0; r < texts.size(); ++r) EXPECT_EQ(col.value(r), texts[r]) << r;
}

TEST(BuildDataset, TreatmentGroupsAreTheRawValues) {
  const TrainingRoot node = make_node(make_columns({}, {0, 2, 2, 0}, {1, -1, 2, 127}));
  const Dataset& d = *node.dataset;
  EXPECT_EQ(d.max_treatment, 2);
  EXPECT_EQ(d.n_rows(), 4u);
  EXPECT_EQ(d.group(1), 2);
  EXPECT_EQ(d.outcome(1), -1);  // outcomes keep their sign through the packing
  EXPECT_EQ(d.outcome(3), 127);
  EXPECT_TRUE(d.x_names.empty());
}

TEST(BuildDataset, RootRowListHoldsEveryRowInOrder) {
  const TrainingRoot node =
      make_node(make_columns({{"f", Floats(2000, 1.0f)}}, std::vector<std::int32_t>(2000, 1),
                             std::vector<std::int8_t>(2000, 0)));
  RowVector expected(2000);
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_EQ(*node.rows, expected);
  RowList list = node.pool->take();  // the pool hands out empty lists with room for 1024
  EXPECT_TRUE(list->empty());
  EXPECT_GE(list->capacity(), kRowListInitialCapacity);
}

TEST(BuildDataset, LargeIntegersAreRoundedToSinglePrecision) {
  const TrainingRoot node =
      make_node(make_columns({{"f", Floats{16777217.0f, NAN}}}, {0, 1}, {0, 0}));
  EXPECT_EQ(node.dataset->num_cols[0][0], 16777216.0f);
  EXPECT_TRUE(std::isnan(node.dataset->num_cols[0][1]));
}

struct RefusedCase {
  const char* name;
  TrainingColumns columns;
  std::string message;
};

class BuildDatasetRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(BuildDatasetRefuses, WithAMessageNamingTheProblem) {
  TrainingColumns columns = GetParam().columns;
  EXPECT_EQ(panic_message([&] { build_dataset(std::move(columns), "arm", "bought"); }),
            GetParam().message);
}
INSTANTIATE_TEST_SUITE_P(
    Inputs, BuildDatasetRefuses,
    ::testing::Values(
        RefusedCase{"empty_treatment", make_columns({{"f", Floats{1, 2}}}, {}, {0, 1}),
                    "called `Option::unwrap()` on a `None` value"},
        RefusedCase{"empty_everything", make_columns({}, {}, {}),
                    "called `Option::unwrap()` on a `None` value"},
        RefusedCase{
            "short_feature",
            make_columns({{"ok", Floats{1, 2, 3}}, {"f", Texts{"a"}}}, {0, 1, 0}, {0, 1, 1}),
            "feature column 'f' has 1 values but the treatment column 'arm' has 3"},
        RefusedCase{"long_feature", make_columns({{"g", Floats{1, 2, 3, 4}}}, {0, 1, 0}, {0, 1, 1}),
                    "feature column 'g' has 4 values but the treatment column 'arm' has 3"},
        RefusedCase{"short_outcome", make_columns({}, {0, 1, 0}, {0, 1}),
                    "outcome column 'bought' has 2 values but the treatment column 'arm' has 3"},
        RefusedCase{"negative_treatment", make_columns({}, {0, 1, -1, 0}, {0, 1, 1, 0}),
                    "treatment column 'arm' holds -1 in row 2; treatment groups must lie in "
                    "0..16777215 (0 is the control group)"},
        RefusedCase{"huge_treatment", make_columns({}, {16777216, 0}, {0, 1}),
                    "treatment column 'arm' holds 16777216 in row 0; treatment groups must lie "
                    "in 0..16777215 (0 is the control group)"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BuildDataset, LargestSupportedTreatmentGroupIsAccepted) {
  const TrainingRoot node = make_node(make_columns({}, {kMaxTreatmentGroup, 0}, {-128, 1}));
  EXPECT_EQ(node.dataset->max_treatment, kMaxTreatmentGroup);
  EXPECT_EQ(node.dataset->group(0), kMaxTreatmentGroup);
  EXPECT_EQ(node.dataset->outcome(0), -128);
}

TEST(CheckRowCount, RefusesMoreRowsThanSigned32BitCounts) {
  check_row_count(2147483647);
  EXPECT_EQ(panic_message([] { check_row_count(2147483648u); }),
            "the training data has 2147483648 rows, more than the 2147483647 rows supported");
}

}  // namespace
}  // namespace quillmarsh
