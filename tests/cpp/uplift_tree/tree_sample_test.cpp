#include "uplift_tree/tree_sample.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quillmarsh {
namespace {

struct SampleCase {
  const char* name;
  std::optional<std::uint64_t> max_samples;
  bool bootstrap;
  std::optional<double> honest_fraction;
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }

class TreeSampleTest : public ::testing::TestWithParam<SampleCase> {};

// The sample holds the asked number of rows, all from the given rows, ascending; without
// replacement no row twice; an honest division puts no row (nor a copy) on both sides and
// round(d x fraction) of the d distinct rows of each group on the estimation side; the same
// streams give the same sample.
TEST_P(TreeSampleTest, IsWhatItClaims) {
  const SampleCase& c = GetParam();
  RowVector rows;
  for (RowIndex r = 0; r < 3000; ++r) rows.push_back(3 * r + 1);  // a sparse, ascending list
  std::vector<std::uint32_t> words(9000);  // groups 0, 1, 2 in turn along the list, 0 the most
  for (RowIndex r = 0; r < 3000; ++r) words[3 * r + 1] = (r % 5 < 3 ? 0u : r % 5 - 2) << 8;
  TreeOptions options;
  options.max_samples = c.max_samples;
  options.bootstrap = c.bootstrap;
  options.honest_fraction = c.honest_fraction;
  Rng sample_rng(11);
  Rng honest_rng(12);
  const TreeSample s = draw_tree_sample(rows, words, options, sample_rng, honest_rng);

  const std::uint64_t expected = c.max_samples.value_or(rows.size());
  EXPECT_EQ(s.split_rows.size() + s.estimation_rows.size(), expected);
  std::map<RowIndex, int> split_copies;
  std::map<RowIndex, int> estimation_copies;
  for (const auto& [list, copies] : {std::pair{&s.split_rows, &split_copies},
                                     std::pair{&s.estimation_rows, &estimation_copies}}) {
    EXPECT_TRUE(std::is_sorted(list->begin(), list->end()));
    for (const RowIndex r : *list) {
      EXPECT_TRUE(std::binary_search(rows.begin(), rows.end(), r)) << r;
      ++(*copies)[r];
    }
  }
  for (const auto& [row, n] : estimation_copies) {
    EXPECT_EQ(split_copies.count(row), 0u) << "row " << row << " on both sides";
  }
  const std::size_t distinct = split_copies.size() + estimation_copies.size();
  if (!c.bootstrap) {
    EXPECT_EQ(distinct, expected) << "a row drawn twice without replacement";
  } else {
    // m draws of n rows with replacement leave about n(1 - (1 - 1/n)^m) distinct rows.
    const double n = static_cast<double>(rows.size());
    const double mean = n * (1.0 - std::pow(1.0 - 1.0 / n, static_cast<double>(expected)));
    EXPECT_NEAR(static_cast<double>(distinct), mean, 0.05 * mean);
  }
  if (c.honest_fraction) {
    std::map<std::uint32_t, std::pair<double, std::size_t>> per_group;  // distinct, estimation
    for (const auto& [row, n] : split_copies) per_group[words[row] >> 8].first += 1;
    for (const auto& [row, n] : estimation_copies) {
      per_group[words[row] >> 8].first += 1;
      per_group[words[row] >> 8].second += 1;
    }
    ASSERT_EQ(per_group.size(), 3u);
    for (const auto& [group, counts] : per_group) {
      EXPECT_EQ(counts.second,
                static_cast<std::size_t>(std::round(counts.first * *c.honest_fraction)))
          << "group " << group;
    }
  } else {
    EXPECT_TRUE(s.estimation_rows.empty());
  }
  // A uniform draw spreads over the whole list.
  const double mean_row =
      static_cast<double>(std::accumulate(s.split_rows.begin(), s.split_rows.end(), 0.0)) /
      static_cast<double>(s.split_rows.size());
  EXPECT_NEAR(mean_row, 4500.0, 300.0);

  Rng again_sample(11);
  Rng again_honest(12);
  const TreeSample t = draw_tree_sample(rows, words, options, again_sample, again_honest);
  EXPECT_EQ(t.split_rows, s.split_rows);
  EXPECT_EQ(t.estimation_rows, s.estimation_rows);
}

INSTANTIATE_TEST_SUITE_P(
    Options, TreeSampleTest,
    ::testing::Values(SampleCase{"every_row", std::nullopt, false, std::nullopt},
                      SampleCase{"half_without", 1500, false, std::nullopt},
                      SampleCase{"all_without", 3000, false, std::nullopt},
                      SampleCase{"bootstrap", std::nullopt, true, std::nullopt},
                      SampleCase{"bootstrap_more", 5000, true, std::nullopt},
                      SampleCase{"honest_every_row", std::nullopt, false, 0.5},
                      SampleCase{"honest_half", 1500, false, 0.3},
                      SampleCase{"honest_bootstrap", std::nullopt, true, 0.5}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct GroupShareCase {
  const char* name;
  std::optional<std::uint64_t> max_samples;
  bool bootstrap;
  std::optional<double> honest_fraction;
  std::vector<std::size_t> expected;  // rows (with copies) of groups 0..4
};

void PrintTo(const GroupShareCase& c, std::ostream* os) { *os << c.name; }

class TreeSampleShareTest : public ::testing::TestWithParam<GroupShareCase> {};

// Groups of 50, 40, 7, 0 and 3 rows (100 in all), interleaved: each group gives its share of
// the sample, rounded half away from zero, and at least one row if it has any.
TEST_P(TreeSampleShareTest, EachGroupGivesItsRoundedShareAndAtLeastOneRow) {
  const GroupShareCase& c = GetParam();
  const std::vector<std::size_t> sizes = {50, 40, 7, 0, 3};
  std::vector<std::uint32_t> words;
  std::vector<std::size_t> left = sizes;
  while (words.size() < 100) {
    for (std::uint32_t g = 0; g < sizes.size(); ++g) {
      if (left[g] > 0) {
        words.push_back(g << 8 | (words.size() % 2));
        --left[g];
      }
    }
  }
  RowVector rows(100);
  std::iota(rows.begin(), rows.end(), RowIndex{0});
  TreeOptions options;
  options.max_samples = c.max_samples;
  options.bootstrap = c.bootstrap;
  options.honest_fraction = c.honest_fraction;
  Rng sample_rng(5);
  Rng honest_rng(6);
  const TreeSample s = draw_tree_sample(rows, words, options, sample_rng, honest_rng);
  std::vector<std::size_t> per_group(sizes.size(), 0);
  for (const RowVector* list : {&s.split_rows, &s.estimation_rows}) {
    EXPECT_TRUE(std::is_sorted(list->begin(), list->end()));
    for (const RowIndex r : *list) ++per_group[words[r] >> 8];
  }
  EXPECT_EQ(per_group, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shares, TreeSampleShareTest,
    ::testing::Values(
        // 10 of 100: 5, 4, 0.7 -> 1, 0.3 -> at least 1; 11 rows in all
        GroupShareCase{"tenth_without", 10, false, std::nullopt, {5, 4, 1, 0, 1}},
        // 25 of 100: 12.5 -> 13, 10, 1.75 -> 2, 0.75 -> 1
        GroupShareCase{"quarter_without", 25, false, std::nullopt, {13, 10, 2, 0, 1}},
        GroupShareCase{"quarter_honest", 25, false, 0.5, {13, 10, 2, 0, 1}},
        GroupShareCase{"every_row_without", 100, false, std::nullopt, {50, 40, 7, 0, 3}},
        GroupShareCase{"one_row", 1, false, std::nullopt, {1, 1, 1, 0, 1}},
        // with replacement: as many draws as rows by default, 2.1 x each group's for 210
        GroupShareCase{"bootstrap", std::nullopt, true, std::nullopt, {50, 40, 7, 0, 3}},
        GroupShareCase{"bootstrap_more", 210, true, 0.3, {105, 84, 15, 0, 6}},
        GroupShareCase{"bootstrap_few", 10, true, std::nullopt, {5, 4, 1, 0, 1}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(TreeSample, MoreRowsThanThereAreWithoutReplacementIsRefused) {
  const RowVector rows = {0, 1, 2};
  TreeOptions options;
  options.max_samples = 4;
  Rng rng(1);
  EXPECT_EQ(panic_message([&] { draw_tree_sample(rows, {}, options, rng, rng); }),
            "max_samples 4 exceeds the 3 rows, which are drawn without replacement");
}

}  // namespace
}  // namespace quillmarsh
