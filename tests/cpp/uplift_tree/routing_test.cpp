// Every form of the routing rule against the rule itself, applied row by row: "a number at or
// below the threshold goes left, NaN on either side goes right, -0.0 equals 0.0; a text goes
// left on equal bytes". The values are the ones where a restatement of the rule goes wrong:
// both zeros, both infinities, NaN, subnormals and the extremes.
#include "uplift_tree/routing.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "uplift_tree/split_oracles.hpp"
#include "uplift_tree/split_search.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::count_numeric_candidates;
using testing_data::count_string_candidates;
using testing_data::Floats;
using testing_data::make_columns;
using testing_data::make_node;
using testing_data::Texts;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();

const Floats kSpecial = {-kInf, -kMax, -1.0f, -kTiny, -0.0f, 0.0f, kTiny,
                         0.25f, 1.0f,  kMax,  kInf,   NAN,   -NAN, std::nextafter(0.25f, 1.0f)};

// The rule, stated in double precision so that it shares no comparison with the code.
bool rule(float v, float t) {
  if (std::isnan(v) || std::isnan(t)) return false;
  return static_cast<double>(v) <= static_cast<double>(t);
}

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

TEST(RoutingKeys, RoutingKeysAndPackedTestFollowTheRuleOnEveryPair) {
  for (const float v : kSpecial) {
    for (const float t : kSpecial) {
      EXPECT_EQ(numeric_goes_left(v, t), rule(v, t)) << v << " vs " << t;
      EXPECT_EQ(value_key(v) <= threshold_key(t), rule(v, t)) << v << " vs " << t;
      EXPECT_EQ(packed_goes_left(value_key(v), 0, threshold_key(t)), rule(v, t))
          << v << " vs " << t;
    }
  }
}

// The sampling key orders numbers as the routing key does but keeps -0.0 just below +0.0, and
// reads every number back bit for bit (NaN as NaN).
TEST(RoutingKeys, SampleKeyDiffersFromValueKeyOnlyInSeparatingTheZeros) {
  for (const float v : kSpecial) {
    const std::uint32_t k = sample_key(v);
    if (std::isnan(v)) {
      EXPECT_EQ(k, value_key(v));
      EXPECT_TRUE(std::isnan(sample_key_value(k)));
      continue;
    }
    EXPECT_TRUE(same_bits(sample_key_value(k), v)) << v;
    if (same_bits(v, -0.0f)) {
      EXPECT_EQ(k + 1, sample_key(0.0f));
    } else {
      EXPECT_EQ(k, value_key(v)) << v;
    }
    for (const float w : kSpecial) {
      if (std::isnan(w)) {
        EXPECT_LT(k, sample_key(w));
        continue;
      }
      const bool below = v < w || (v == w && std::signbit(v) && !std::signbit(w));
      EXPECT_EQ(k < sample_key(w), below) << v << " vs " << w;
    }
  }
}

// The children of the rows that `goes_left` sends left, counted per group.
CandidateCounts children(const Dataset& d, std::span<const RowIndex> rows, auto goes_left) {
  std::vector<RowIndex> left;
  std::vector<RowIndex> right;
  for (const RowIndex r : rows) (goes_left(r) ? left : right).push_back(r);
  return {group_counts(d, left), group_counts(d, right), left.size(), right.size()};
}

void expect_same(const std::vector<CandidateCounts>& got, std::size_t j,
                 const CandidateCounts& want) {
  EXPECT_EQ(got[j].left, want.left) << "candidate " << j;
  EXPECT_EQ(got[j].right, want.right) << "candidate " << j;
  EXPECT_EQ(got[j].n_left, want.n_left) << "candidate " << j;
}

// Values: each special value, each threshold and its neighbours, several times over, in an
// order that spreads them across the four-row blocks and the single rows after them.
Floats values_around(const Floats& thresholds) {
  Floats v;
  for (int copy = 0; copy < 3; ++copy) {
    v.insert(v.end(), kSpecial.begin(), kSpecial.end());
    for (const float t : thresholds) {
      if (std::isnan(t)) continue;
      v.insert(v.end(), {t, std::nextafter(t, -kInf), std::nextafter(t, kInf)});
    }
  }
  v.push_back(-0.0f);  // an odd count: the last rows are counted one at a time
  return v;
}

struct NumericCase {
  const char* name;
  Floats thresholds;  // ascending numbers, then any NaN
};

Floats many_thresholds(float zero) {
  Floats t = {-kInf, -kMax, -1.0f, -kTiny, zero, kTiny};
  for (int i = 1; i <= 70; ++i) t.push_back(static_cast<float>(i) / 64.0f);
  t.insert(t.end(), {kMax, kInf, NAN});
  return t;
}

class CountingPass : public ::testing::TestWithParam<NumericCase> {};

// The counting pass (scan, four lanes, or binary search beyond 64 thresholds) gives every
// candidate the children that the rule gives it row by row; a NaN threshold takes no row.
TEST_P(CountingPass, EveryThresholdGetsTheChildrenOfTheRule) {
  const Floats& t = GetParam().thresholds;
  const Floats values = values_around(t);
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
  for (std::size_t i = 0; i < values.size(); ++i) {
    treatment.push_back(static_cast<std::int32_t>(i % 3));
    outcome.push_back(static_cast<std::int8_t>((i / 3) % 2));
  }
  const TrainingRoot node = make_node(make_columns({{"x", values}}, treatment, outcome));
  const Dataset& d = *node.dataset;
  const std::span<const RowIndex> rows = *node.rows;
  const auto got = count_numeric_candidates(d, d.num_cols[0], rows, t, group_counts(d, rows));
  ASSERT_EQ(got.size(), t.size());
  for (std::size_t j = 0; j < t.size(); ++j) {
    expect_same(got, j, children(d, rows, [&](RowIndex r) { return rule(values[r], t[j]); }));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, CountingPass,
    ::testing::Values(NumericCase{"NegativeZero", {-kInf, -kTiny, -0.0f, kTiny, kInf}},
                      NumericCase{"PositiveZeroAndNan", {-kMax, 0.0f, 0.25f, kMax, NAN, NAN}},
                      NumericCase{"InfinitiesOnly", {-kInf, kInf}},
                      NumericCase{"ManyWithNegativeZero", many_thresholds(-0.0f)},
                      NumericCase{"ManyWithPositiveZero", many_thresholds(0.0f)}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A text goes left of exactly its own category, whichever lookup the counting pass picks: a
// table over a small dictionary, or, when the dictionary is large next to the node, a scan of
// few categories or a hash map of many.
TEST(CountingPass, EveryCategoryTakesExactlyItsOwnText) {
  Texts texts;
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
  for (int i = 0; i < 600; ++i) {
    std::string text = std::to_string(i % 300);
    text.insert(text.begin(), 't');  // not "t" + ...: GCC 12 misreads that as an overlap
    texts.push_back(std::move(text));
    treatment.push_back(i % 2);
    outcome.push_back(static_cast<std::int8_t>((i / 2) % 2));
  }
  texts[7] = "T1";  // differs from "t1" only in case
  const TrainingRoot node = make_node(make_columns({{"s", texts}}, treatment, outcome));
  const Dataset& d = *node.dataset;
  const StringCodes& column = d.str_cols[0];
  std::vector<RowIndex> few_rows;  // 2 * 40 + 64 < 301 texts: no table over the dictionary
  for (RowIndex r = 0; r < 600; r += 15) few_rows.push_back(r);
  const auto code_of = [&](RowIndex r) { return column.codes[r]; };
  std::vector<std::uint32_t> many;  // codes met in the node, and codes absent from it
  for (RowIndex r = 0; r < 60; r += 3) many.push_back(code_of(r));
  many.push_back(code_of(7));
  for (const auto& [rows, categories] :
       {std::pair{std::span<const RowIndex>(*node.rows), many},
        std::pair{std::span<const RowIndex>(few_rows),
                  std::vector<std::uint32_t>(many.begin(), many.begin() + 5)},
        std::pair{std::span<const RowIndex>(few_rows), many}}) {
    const auto got = count_string_candidates(d, column, rows, categories, group_counts(d, rows));
    for (std::size_t j = 0; j < categories.size(); ++j) {
      const std::string& category = column.dictionary[categories[j]];
      expect_same(got, j, children(d, rows, [&](RowIndex r) { return texts[r] == category; }));
    }
  }
}

}  // namespace
}  // namespace quillmarsh
