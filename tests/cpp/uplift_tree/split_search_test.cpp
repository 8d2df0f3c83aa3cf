#include "uplift_tree/split_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "uplift_tree/split_oracles.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::count_numeric_candidates;
using testing_data::count_string_candidates;
using testing_data::Floats;
using testing_data::make_columns;
using testing_data::make_node;
using testing_data::quantile_candidates;
using testing_data::sample_rows;
using testing_data::search_feature;
using testing_data::Texts;

// Children of one candidate the slow way: one partition of the rows, then two countings.
CandidateCounts partition_reference(const Dataset& d, ColumnRef ref, std::span<const RowIndex> rows,
                                    const SplitValue& candidate) {
  std::vector<RowIndex> left;
  std::vector<RowIndex> right;
  for (const RowIndex r : rows) {
    const bool goes_left = ref.is_numeric() ? d.numeric(ref)[r] <= candidate.as_numeric()
                                            : d.strings(ref).value(r) == candidate.as_str();
    (goes_left ? left : right).push_back(r);
  }
  return {group_counts(d, left), group_counts(d, right), left.size(), right.size()};
}

// The candidates of one feature over `rows`, read through the row list, or from the cells
// gathered first (odd row counts): the two read the same cells.
std::vector<float> numeric_candidates_of(const NumericColumn& column,
                                         std::span<const RowIndex> rows, std::uint64_t max_bins,
                                         Rng& rng) {
  CandidateScratch scratch;
  if (rows.size() % 2 == 0) {
    return numeric_candidates(ScatteredCells<float>(column, rows), max_bins, rng, scratch);
  }
  std::vector<float> values;
  gather(column, rows, values);
  return numeric_candidates(GatheredCells<float>(values), max_bins, rng, scratch);
}

std::vector<std::uint32_t> string_candidates_of(const StringCodes& column,
                                                std::span<const RowIndex> rows,
                                                std::uint64_t max_bins, Rng& rng) {
  CandidateScratch scratch;
  const std::size_t size = column.dictionary.size();
  if (rows.size() % 2 == 0) {
    return string_candidates(ScatteredCells<std::uint32_t>(column.codes, rows), size, max_bins, rng,
                             scratch);
  }
  std::vector<std::uint32_t> codes;
  gather(column.codes, rows, codes);
  return string_candidates(GatheredCells<std::uint32_t>(codes), size, max_bins, rng, scratch);
}

bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// A random node: a random subset of a random experiment's rows, in row order.
struct RandomNode {
  TrainingRoot data;
  std::vector<RowIndex> rows;
  GroupCounts counts;
  SplitSettings settings;
};

RandomNode random_node(Rng& rng) {
  const std::size_t n = 1 + rng.below(150);
  const auto groups = static_cast<std::int32_t>(2 + rng.below(3));
  RandomNode node{
      make_node(testing_data::random_experiment(rng, n, 2, 2, groups, true)), {}, {}, {}};
  for (RowIndex r = 0; r < n; ++r) {
    if (rng.below(4) != 0) node.rows.push_back(r);
  }
  if (node.rows.empty()) node.rows.push_back(0);
  node.counts = group_counts(*node.data.dataset, node.rows);
  node.settings.max_bins = 2 + rng.below(12);  // m = N: every row is sampled
  node.settings.min_sample_leaf = rng.below(4);
  node.settings.eval_func = static_cast<EvalFunc>(rng.below(3));
  node.settings.balance = rng.below(2) == 1;
  node.settings.regularization = rng.below(2) == 1;
  node.settings.alpha = 0.9;
  return node;
}

// The one-pass counts of every candidate equal those of partitioning the rows per candidate,
// and so do the gains, bit for bit; the feature's winner is the reference scan's first maximum.
class OnePassEquivalence : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(OnePassEquivalence, EveryCandidateMatchesThePartitionPerCandidate) {
  Rng rng(GetParam());
  RandomNode node = random_node(rng);
  const Dataset& d = *node.data.dataset;
  const double d_parent = node_divergence(node.counts, node.settings.eval_func,
                                          node.settings.balance, node.rows.size());
  for (const std::string& name : d.x_names) {
    const ColumnRef code = d.column(name);
    std::vector<SplitValue> candidates;
    std::vector<CandidateCounts> fast;
    if (code.is_numeric()) {
      const NumericColumn& col = d.numeric(code);
      std::vector<float> t = numeric_candidates_of(col, node.rows, node.settings.max_bins, rng);
      for (float v : t) candidates.push_back(SplitValue::numeric(v));
      fast = count_numeric_candidates(d, col, node.rows, t, node.counts);
    } else {
      const StringCodes& col = d.strings(code);
      std::vector<std::uint32_t> c =
          string_candidates_of(col, node.rows, node.settings.max_bins, rng);
      for (std::uint32_t v : c) candidates.push_back(SplitValue::str(col.dictionary[v]));
      fast = count_string_candidates(d, col, node.rows, c, node.counts);
    }
    ASSERT_EQ(fast.size(), candidates.size());
    std::optional<std::size_t> best;
    double best_gain = kNoGain;
    for (std::size_t j = 0; j < candidates.size(); ++j) {
      const CandidateCounts slow = partition_reference(d, code, node.rows, candidates[j]);
      EXPECT_EQ(fast[j].left, slow.left) << name << " candidate " << j;
      EXPECT_EQ(fast[j].right, slow.right) << name << " candidate " << j;
      EXPECT_EQ(fast[j].n_left, slow.n_left);
      EXPECT_EQ(fast[j].n_right, slow.n_right);
      if (!passes_size_test(slow.n_left, slow.n_right, node.settings.min_sample_leaf)) continue;
      const double slow_gain = split_gain(node.counts, node.rows.size(), d_parent, slow.left,
                                          slow.n_left, slow.right, slow.n_right, node.settings);
      const double fast_gain =
          split_gain(node.counts, node.rows.size(), d_parent, fast[j].left, fast[j].n_left,
                     fast[j].right, fast[j].n_right, node.settings);
      EXPECT_TRUE(same_double(fast_gain, slow_gain)) << fast_gain << " vs " << slow_gain;
      if (slow_gain > best_gain) {
        best_gain = slow_gain;
        best = j;
      }
    }
    // search_feature draws the same candidates from an identically seeded generator.
    Rng again(GetParam() * 7919 + code.index + (code.is_numeric() ? 100 : 200));
    Rng copy = again;
    const std::optional<FeatureSplit> found =
        search_feature(d, code, node.rows, node.counts, d_parent, node.settings, again);
    std::vector<SplitValue> drawn;
    if (code.is_numeric()) {
      for (float v :
           numeric_candidates_of(d.numeric(code), node.rows, node.settings.max_bins, copy)) {
        drawn.push_back(SplitValue::numeric(v));
      }
    } else {
      const StringCodes& col = d.strings(code);
      for (std::uint32_t v : string_candidates_of(col, node.rows, node.settings.max_bins, copy)) {
        drawn.push_back(SplitValue::str(col.dictionary[v]));
      }
    }
    std::optional<std::size_t> expected;
    double expected_gain = kNoGain;
    for (std::size_t j = 0; j < drawn.size(); ++j) {
      const CandidateCounts slow = partition_reference(d, code, node.rows, drawn[j]);
      if (!passes_size_test(slow.n_left, slow.n_right, node.settings.min_sample_leaf)) continue;
      const double g = split_gain(node.counts, node.rows.size(), d_parent, slow.left, slow.n_left,
                                  slow.right, slow.n_right, node.settings);
      if (g > expected_gain) {
        expected_gain = g;
        expected = j;
      }
    }
    ASSERT_EQ(found.has_value(), expected.has_value()) << name;
    if (found) {
      EXPECT_EQ(found->split_value, drawn[*expected]);
      EXPECT_TRUE(same_double(found->gain, expected_gain));
      const CandidateCounts slow = partition_reference(d, code, node.rows, drawn[*expected]);
      EXPECT_EQ(found->left_counts, slow.left);
      EXPECT_EQ(found->right_counts, slow.right);
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Seeds, OnePassEquivalence, ::testing::Range<std::uint64_t>(1, 121));

// Thresholds beyond the sample's: infinities, and NaN thresholds (which take no row).
TEST(CountNumericCandidates, InfinitiesAndNanThresholdsMatchThePartition) {
  Rng rng(99);
  RandomNode node = random_node(rng);
  const Dataset& d = *node.data.dataset;
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> t = {-inf, 0.1f, 0.25f, 0.9f, inf, NAN, NAN};
  const auto fast = count_numeric_candidates(d, d.num_cols[0], node.rows, t, node.counts);
  for (std::size_t j = 0; j < t.size(); ++j) {
    const CandidateCounts slow =
        partition_reference(d, ColumnRef{}, node.rows, SplitValue::numeric(t[j]));
    EXPECT_EQ(fast[j].left, slow.left) << j;
    EXPECT_EQ(fast[j].right, slow.right) << j;
  }
}

// Many thresholds take the binary-search path instead of the linear scan.
TEST(CountNumericCandidates, ManyThresholdsMatchThePartition) {
  Rng rng(5);
  const TrainingRoot node = make_node(testing_data::random_experiment(rng, 3000, 1, 0, 3, true));
  const Dataset& d = *node.dataset;
  const GroupCounts counts = group_counts(d, *node.rows);
  const std::vector<float> t = numeric_candidates_of(d.num_cols[0], *node.rows, 300, rng);
  ASSERT_GT(t.size(), 64u);
  const auto fast = count_numeric_candidates(d, d.num_cols[0], *node.rows, t, counts);
  for (std::size_t j = 0; j < t.size(); j += 7) {
    const auto slow = partition_reference(d, ColumnRef{}, *node.rows, SplitValue::numeric(t[j]));
    EXPECT_EQ(fast[j].left, slow.left) << j;
  }
}

TEST(QuantileCandidates, SevenRowsFourBinsPickSortedPositionsOneThreeFive) {
  std::vector<float> sample = {70, 10, 60, 20, 50, 30, 40};
  EXPECT_EQ(quantile_candidates(sample, 4), (std::vector<float>{20, 40, 60}));
  const TrainingRoot node = make_node(make_columns({{"f", Floats{70, 10, 60, 20, 50, 30, 40}}},
                                                   {0, 1, 0, 1, 0, 1, 0}, {0, 0, 0, 0, 0, 0, 0}));
  Rng rng(1);
  EXPECT_EQ(numeric_candidates_of(node.dataset->num_cols[0], *node.rows, 4, rng),
            (std::vector<float>{20, 40, 60}));
}

TEST(QuantileCandidates, SingleDistinctValueGivesOneCandidate) {
  std::vector<float> sample(50, 3.5f);
  EXPECT_EQ(quantile_candidates(sample, 10), (std::vector<float>{3.5f}));
}

TEST(QuantileCandidates, FewerThanTwoBinsGiveNone) {
  std::vector<float> sample = {1, 2, 3};
  EXPECT_TRUE(quantile_candidates(sample, 0).empty());
  EXPECT_TRUE(quantile_candidates(sample, 1).empty());
  EXPECT_TRUE(quantile_candidates(std::span<float>(), 10).empty());
}

TEST(QuantileCandidates, NanValuesSortLastAndNeverBreakTheSort) {
  std::vector<float> sample = {NAN, 3, NAN, 1, 2, NAN, NAN, 0};
  const std::vector<float> c = quantile_candidates(sample, 8);
  ASSERT_EQ(c.size(), 7u);  // 1, 2, 3, then four NaNs that never compare equal
  EXPECT_EQ(c[0], 1.0f);
  EXPECT_EQ(c[2], 3.0f);
  EXPECT_TRUE(std::isnan(c[3]) && std::isnan(c[6]));
}

// The quantiles by the plain loop over i = 1..max_bins-1 on the fully sorted sample: NaNs
// last, -0.0 before +0.0. A position reached by several i is read once: NaN never equals
// itself, so re-reading a NaN position would only repeat a candidate that takes no row.
std::vector<float> sorted_quantiles(std::vector<float> sample, std::uint64_t max_bins) {
  std::sort(sample.begin(), sample.end(), [](float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
  });
  std::vector<float> out;
  const std::uint64_t m = sample.size();
  std::uint64_t last = ~std::uint64_t{0};
  for (std::uint64_t i = 1; i < max_bins && m > 0; ++i) {
    if (i * m / max_bins == last) continue;
    last = i * m / max_bins;
    const float v = sample[last];
    if (out.empty() || !(out.back() == v)) out.push_back(v);
  }
  return out;
}

void expect_same_floats(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t j = 0; j < got.size(); ++j) {
    EXPECT_TRUE(std::bit_cast<std::uint32_t>(got[j]) == std::bit_cast<std::uint32_t>(want[j]) ||
                (std::isnan(got[j]) && std::isnan(want[j])))
        << j << ": " << got[j] << " vs " << want[j];
  }
}

// Values that strain the selection: ties, NaN, both zeros, and far outliers that stretch the
// range its buckets divide.
float rough_value(Rng& rng) {
  switch (rng.below(16)) {
    case 0:
      return NAN;
    case 1:
      return -0.0f;
    case 2:
      return 0.0f;
    case 3:
      return rng.below(2) == 0 ? 1e30f : -1e30f;
    case 4:
      return static_cast<float>(rng.below(5));
    default:
      return static_cast<float>(testing_data::uniform(rng) * 2.0 - 1.0);
  }
}

// quantile_candidates (a sample at hand) and numeric_candidates (a node's sample drawn, read
// gathered or through its rows) both give the sorted sample's quantiles, from a few values to
// several thousand, so that sorting and selection over several levels are both reached.
class Quantiles : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(Quantiles, EqualTheSortedSamplesQuantiles) {
  Rng rng(GetParam());
  const std::size_t n = rng.below(4) == 0 ? rng.below(60) : 60 + rng.below(20000);
  const std::uint64_t max_bins =
      rng.below(3) == 0 ? rng.below(5) : 1 + rng.below(rng.below(2) == 0 ? 40 : 400);
  std::vector<float> values(n);
  for (float& v : values) v = rough_value(rng);
  SCOPED_TRACE(numbered("n ", n) + numbered(" max_bins ", max_bins));
  expect_same_floats(quantile_candidates(values, max_bins), sorted_quantiles(values, max_bins));

  std::vector<RowIndex> rows(n);
  for (std::size_t i = 0; i < n; ++i) rows[i] = static_cast<RowIndex>(i);
  const std::uint64_t m = candidate_sample_size(n, max_bins);
  Rng draw(GetParam() * 31);
  std::vector<float> sample;
  for (const RowIndex r : sample_rows(rows, m, draw)) sample.push_back(values[r]);
  const std::vector<float> want = sorted_quantiles(sample, max_bins);
  CandidateScratch scratch;
  Rng gathered(GetParam() * 31);
  expect_same_floats(numeric_candidates(GatheredCells<float>(values), max_bins, gathered, scratch),
                     want);
  Rng scattered(GetParam() * 31);
  expect_same_floats(
      numeric_candidates(ScatteredCells<float>(values, rows), max_bins, scattered, scratch), want);
  Rng fused(GetParam() * 31);
  std::vector<float> cells;
  expect_same_floats(gather_numeric_candidates(values, rows, max_bins, fused, scratch, cells),
                     want);
  expect_same_floats(cells, values);
}
INSTANTIATE_TEST_SUITE_P(Seeds, Quantiles, ::testing::Range<std::uint64_t>(1, 300));

// Gathering a node's cells and reading its sample in one pass draws what reading the sample
// through the row list draws: the same positions (all rows, the rows kept, or the rows left
// out), so the same candidates, and leaves the generator at the same point. The rows repeat
// and skip, as a bootstrap sample's do; max_bins 2 samples 1,000 rows.
struct FusedCase {
  std::size_t rows;
  std::uint64_t max_bins;
  std::size_t dictionary_size;  // beyond 64 * 1,000 + 4,096 the seen codes go to a hash set
};

class GatheredSample : public ::testing::TestWithParam<FusedCase> {};

TEST_P(GatheredSample, DrawsWhatReadingThroughTheRowsDraws) {
  const FusedCase c = GetParam();
  Rng rng(c.rows * 7 + c.max_bins);
  std::vector<float> values(3 * c.rows + 5);
  std::vector<std::uint32_t> codes(values.size());
  for (std::size_t r = 0; r < values.size(); ++r) {
    values[r] = rough_value(rng);
    codes[r] = static_cast<std::uint32_t>(rng.below(std::min<std::size_t>(c.dictionary_size, 900)));
  }
  std::vector<RowIndex> rows;
  for (RowIndex r = 0; rows.size() < c.rows; r += static_cast<RowIndex>(rng.below(3))) {
    rows.push_back(r);
  }
  CandidateScratch scratch;
  Rng through(99);
  Rng fused(99);
  std::vector<float> cells;
  expect_same_floats(
      gather_numeric_candidates(values, rows, c.max_bins, fused, scratch, cells),
      numeric_candidates(ScatteredCells<float>(values, rows), c.max_bins, through, scratch));
  EXPECT_EQ(fused.next_u64(), through.next_u64());
  std::vector<float> want_cells;
  gather(std::span<const float>(values), rows, want_cells);
  expect_same_floats(cells, want_cells);

  std::vector<std::uint32_t> code_cells;
  EXPECT_EQ(gather_string_candidates(codes, rows, c.dictionary_size, c.max_bins, fused, scratch,
                                     code_cells),
            string_candidates(ScatteredCells<std::uint32_t>(codes, rows), c.dictionary_size,
                              c.max_bins, through, scratch));
  EXPECT_EQ(fused.next_u64(), through.next_u64());
  for (std::size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(code_cells[i], codes[rows[i]]) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, GatheredSample,
                         ::testing::Values(FusedCase{700, 2, 40}, FusedCase{1000, 2, 40},
                                           FusedCase{1500, 2, 40}, FusedCase{2047, 2, 200000},
                                           FusedCase{2560, 2, 40}, FusedCase{5001, 2, 200000},
                                           FusedCase{300, 1, 40}, FusedCase{6000, 40, 7}));

TEST(QuantileCandidates, HugeBinCountsCostAtMostOneStepPerSampledValue) {
  std::vector<float> sample = {5, 1, 4, 2, 3};
  EXPECT_EQ(quantile_candidates(sample, std::uint64_t{1} << 62),
            (std::vector<float>{1, 2, 3, 4, 5}));
  EXPECT_EQ(candidate_sample_size(7, ~std::uint64_t{0}), 7u);
  EXPECT_EQ(candidate_sample_size(100000, 10), 5000u);
}

// Both ways of sampling (drawing the rows kept, or the rows left out when more than half are
// kept) give m distinct rows of the list, in list order, each row as often as any other.
class SampleRows : public ::testing::TestWithParam<std::pair<std::size_t, std::uint64_t>> {};

TEST_P(SampleRows, DrawsDistinctRowsUniformlyInListOrder) {
  const auto [n, m] = GetParam();
  std::vector<RowIndex> rows(n);
  for (std::size_t i = 0; i < n; ++i) rows[i] = static_cast<RowIndex>(3 * i + 1);
  Rng rng(n * 31 + m);
  std::vector<int> hits(n, 0);
  constexpr int kRounds = 4000;
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<RowIndex> picked = sample_rows(rows, m, rng);
    ASSERT_EQ(picked.size(), std::min<std::uint64_t>(m, n));
    ASSERT_TRUE(std::is_sorted(picked.begin(), picked.end()));
    ASSERT_EQ(std::adjacent_find(picked.begin(), picked.end()), picked.end());
    for (RowIndex r : picked) {
      ASSERT_EQ(r % 3, 1u);
      ++hits[r / 3];
    }
  }
  const double p = std::min(1.0, static_cast<double>(m) / static_cast<double>(n));
  const double expected = kRounds * p;
  const double sd = std::sqrt(kRounds * p * (1 - p));
  for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(hits[i], expected, 5 * sd + 1e-9) << i;
}
INSTANTIATE_TEST_SUITE_P(Sizes, SampleRows,
                         ::testing::Values(std::pair<std::size_t, std::uint64_t>{100, 10},
                                           std::pair<std::size_t, std::uint64_t>{100, 50},
                                           std::pair<std::size_t, std::uint64_t>{100, 51},
                                           std::pair<std::size_t, std::uint64_t>{130, 117},
                                           std::pair<std::size_t, std::uint64_t>{64, 63},
                                           std::pair<std::size_t, std::uint64_t>{65, 64},
                                           std::pair<std::size_t, std::uint64_t>{40, 40},
                                           std::pair<std::size_t, std::uint64_t>{40, 1000},
                                           std::pair<std::size_t, std::uint64_t>{40, 0}));

TEST(StringCandidates, TakesEveryDistinctValueWhenThereAreFewEnough) {
  const TrainingRoot node = make_node(
      make_columns({{"s", Texts{"b", "a", "b", "c", "a"}}}, {0, 1, 0, 1, 0}, {0, 0, 0, 0, 0}));
  Rng rng(3);
  const StringCodes& col = node.dataset->str_cols[0];
  std::vector<std::uint32_t> c = string_candidates_of(col, *node.rows, 10, rng);
  std::set<std::string> texts;
  for (std::uint32_t code : c) texts.insert(col.dictionary[code]);
  EXPECT_EQ(c.size(), 3u);
  EXPECT_EQ(texts, (std::set<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(string_candidates_of(col, *node.rows, 1, rng).empty());
  EXPECT_TRUE(string_candidates_of(col, *node.rows, 0, rng).empty());
}

TEST(StringCandidates, ChoosesMaxBinsMinusOneDistinctValuesUniformly) {
  Texts values;
  for (int i = 0; i < 10; ++i) values.push_back(std::string(1, static_cast<char>('a' + i)));
  const TrainingRoot node = make_node(make_columns(
      {{"s", values}}, std::vector<std::int32_t>(10, 0), std::vector<std::int8_t>(10, 0)));
  Rng rng(11);
  std::vector<int> picked(10, 0);
  for (int round = 0; round < 3000; ++round) {
    const std::vector<std::uint32_t> c =
        string_candidates_of(node.dataset->str_cols[0], *node.rows, 4, rng);
    ASSERT_EQ(c.size(), 3u);
    ASSERT_EQ(std::set<std::uint32_t>(c.begin(), c.end()).size(), 3u);
    for (std::uint32_t code : c) ++picked[code];
  }
  // Each value is picked with probability 3/10: 900 of 3000 expected, sd about 25.
  for (int count : picked) EXPECT_NEAR(count, 900, 150);
}

// Codes beyond the dictionary can only come from a caller changing its buffer during a fit
// (the codes are read in place). Each lookup (a table over a small dictionary, a scan of few
// categories, a hash map of many) counts such a row with the other categories and never
// offers its code as a candidate.
struct CodesBeyond {
  const char* name;
  std::size_t dictionary_size;
  std::vector<std::uint32_t> categories;
};

void PrintTo(const CodesBeyond& c, std::ostream* os) { *os << c.name; }

class CodesBeyondTheDictionary : public ::testing::TestWithParam<CodesBeyond> {};

TEST_P(CodesBeyondTheDictionary, CountWithTheOtherCategoriesAndAreNeverCandidates) {
  const CodesBeyond& c = GetParam();
  const auto size = static_cast<std::uint32_t>(c.dictionary_size);
  const std::vector<std::uint32_t> codes = {1, size, 3, 0xffffffffu, 1, size + 70000, 0, 3, 2};
  std::vector<std::uint32_t> words;  // groups 0 and 1 in turn, every other row positive
  for (std::uint32_t r = 0; r < codes.size(); ++r) words.push_back((r % 2) << 8 | (r / 2 % 2));
  std::vector<std::uint32_t> slots;
  count_string_slots(GatheredCells<std::uint32_t>(codes), words, c.categories, c.dictionary_size, 4,
                     slots);
  std::vector<std::uint32_t> expected((c.categories.size() + 1) * 4, 0);
  for (std::size_t r = 0; r < codes.size(); ++r) {
    const auto it = std::find(c.categories.begin(), c.categories.end(), codes[r]);
    const auto slot = static_cast<std::size_t>(it - c.categories.begin());  // the last: none
    expected[slot * 4 + 2 * (words[r] >> 8)] += 1;
    expected[slot * 4 + 2 * (words[r] >> 8) + 1] += words[r] & 1u;
  }
  EXPECT_EQ(slots, expected);

  Rng rng(1);
  CandidateScratch scratch;
  const std::vector<std::uint32_t> candidates =
      string_candidates(GatheredCells<std::uint32_t>(codes), c.dictionary_size, 64, rng, scratch);
  EXPECT_EQ(std::set<std::uint32_t>(candidates.begin(), candidates.end()),
            (std::set<std::uint32_t>{0, 1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, CodesBeyondTheDictionary,
    ::testing::Values(
        CodesBeyond{"table", 5, {1, 3}}, CodesBeyond{"scan", 100000, {1, 3}},
        CodesBeyond{"hash", 100000, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Rows x=0: 10, x=1: 1, x=2: 89. Thresholds 0, 1 and 2 leave 10, 11 and 100 rows on the left.
TrainingRoot size_test_node() {
  Floats x;
  std::vector<std::int32_t> t;
  std::vector<std::int8_t> y;
  for (int i = 0; i < 100; ++i) {
    x.push_back(i < 10 ? 0.0f : i == 10 ? 1.0f : 2.0f);
    t.push_back(i % 2);
    // Treated rows respond strongly only among the first ten; row 10 is a positive control.
    y.push_back(
        static_cast<std::int8_t>(i < 10 ? (i % 2 == 1 ? 1 : i == 0) : (i == 10 || i % 3 == 0)));
  }
  return make_node(make_columns({{"x", x}}, t, y));
}

class SizeTest : public ::testing::TestWithParam<std::pair<std::uint64_t, float>> {};

TEST_P(SizeTest, BothChildrenNeedStrictlyMoreThanMinSampleLeafRows) {
  const TrainingRoot node = size_test_node();
  SplitSettings s;
  s.max_bins = 100;
  s.min_sample_leaf = GetParam().first;
  const GroupCounts counts = group_counts(*node.dataset, *node.rows);
  Rng rng(2);
  const double d_parent = node_divergence(counts, s.eval_func, s.balance, 100);
  const auto all = count_numeric_candidates(*node.dataset, node.dataset->num_cols[0], *node.rows,
                                            std::vector<float>{0, 1}, counts);
  ASSERT_EQ(all[0].n_left, 10u);
  ASSERT_EQ(all[1].n_left, 11u);
  ASSERT_GT(split_gain(counts, 100, d_parent, all[0].left, 10, all[0].right, 90, s),
            split_gain(counts, 100, d_parent, all[1].left, 11, all[1].right, 89, s));
  const auto found =
      search_feature(*node.dataset, ColumnRef{}, *node.rows, counts, d_parent, s, rng);
  if (std::isnan(GetParam().second)) {
    EXPECT_FALSE(found.has_value());
  } else {
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->split_value, SplitValue::numeric(GetParam().second));
  }
}
INSTANTIATE_TEST_SUITE_P(MinSampleLeaf, SizeTest,
                         ::testing::Values(std::pair<std::uint64_t, float>{9, 0.0f},
                                           std::pair<std::uint64_t, float>{10, 1.0f},
                                           std::pair<std::uint64_t, float>{11, NAN}));

// Blocks x=0 and x=2 hold identical counts, so thresholds 0 and 1 mirror each other with
// pi = 0.25 and 0.75: their gains are exactly equal and the first one tried must stay.
TEST(SearchFeature, ExactTieKeepsTheFirstCandidate) {
  Floats x;
  std::vector<std::int32_t> t;
  std::vector<std::int8_t> y;
  const auto block = [&](float v, int control_pos, int treated_pos, int size) {
    for (int i = 0; i < size; ++i) {
      x.push_back(v);
      t.push_back(0);
      y.push_back(i < control_pos ? 1 : 0);
      x.push_back(v);
      t.push_back(1);
      y.push_back(i < treated_pos ? 1 : 0);
    }
  };
  block(0.0f, 1, 4, 5);
  block(1.0f, 5, 5, 10);
  block(2.0f, 1, 4, 5);
  const TrainingRoot node = make_node(make_columns({{"x", x}}, t, y));
  const GroupCounts counts = group_counts(*node.dataset, *node.rows);
  for (EvalFunc f : {EvalFunc::Euclidean, EvalFunc::KL, EvalFunc::Chi}) {
    SplitSettings s;
    s.max_bins = 40;
    s.eval_func = f;
    const double d_parent = node_divergence(counts, f, false, 40);
    const auto all = count_numeric_candidates(*node.dataset, node.dataset->num_cols[0], *node.rows,
                                              std::vector<float>{0, 1}, counts);
    const double g0 = split_gain(counts, 40, d_parent, all[0].left, 10, all[0].right, 30, s);
    const double g1 = split_gain(counts, 40, d_parent, all[1].left, 30, all[1].right, 10, s);
    ASSERT_EQ(g0, g1);
    ASSERT_GT(g0, 0.0);
    Rng rng(4);
    const auto found =
        search_feature(*node.dataset, ColumnRef{}, *node.rows, counts, d_parent, s, rng);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->split_value, SplitValue::numeric(0.0f));
  }
}

// x=0 holds negative control rows and group-2 rows only; a split on it leaves group 1 absent on
// the left. Under ED that side is NaN and never wins; KL's zero guard (control rate 0) makes it
// finite, and size weighting gives the empty group the weight 0.
TEST(SearchFeature, GroupAbsentFromOneSideWinsOnlyThroughTheZeroGuard) {
  Floats x;
  std::vector<std::int32_t> t;
  std::vector<std::int8_t> y;
  for (int i = 0; i < 60; ++i) {
    x.push_back(i < 20 ? 0.0f : 1.0f);
    t.push_back(i < 20 ? 2 * (i % 2) : i % 3);
    y.push_back(i < 20 ? static_cast<std::int8_t>(i % 4 == 1) : static_cast<std::int8_t>(i % 2));
  }
  const TrainingRoot node = make_node(make_columns({{"x", x}}, t, y));
  const GroupCounts counts = group_counts(*node.dataset, *node.rows);
  SplitSettings s;
  s.max_bins = 10;
  Rng rng(8);
  s.eval_func = EvalFunc::Euclidean;
  EXPECT_FALSE(search_feature(*node.dataset, ColumnRef{}, *node.rows, counts,
                              node_divergence(counts, s.eval_func, false, 60), s, rng));
  s.eval_func = EvalFunc::KL;
  const auto kl = search_feature(*node.dataset, ColumnRef{}, *node.rows, counts,
                                 node_divergence(counts, s.eval_func, false, 60), s, rng);
  ASSERT_TRUE(kl.has_value());
  EXPECT_EQ(kl->split_value, SplitValue::numeric(0.0f));
}

// All rows of a node built by intake, with the packed words running alongside (a copy of the
// root list, since partitioning rearranges it).
NodeRows whole_node(const TrainingRoot& node) {
  auto list = std::make_shared<RowVector>(*node.rows);
  auto words = std::make_shared<RowVector>();
  for (const RowIndex r : *list) words->push_back(node.dataset->group_outcome[r]);
  return NodeRows{list, 0, list->size(), words};
}

// Every row sampled and few categories, so the candidates are fixed: the search over all
// features, on the pool (even seeds) or inline (odd seeds), finds the best of the per-feature
// searches.
class FindBestSplit : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(FindBestSplit, MatchesTheBestSingleFeatureSearch) {
  Rng rng(GetParam());
  const TrainingRoot node = make_node(testing_data::random_experiment(rng, 400, 3, 2, 3, false));
  const Dataset& d = *node.dataset;
  SplitSettings s;
  s.max_bins = 10;  // 4 categories < 9, and 400 rows <= 5000 sampled
  s.min_sample_leaf = 5;
  s.eval_func = static_cast<EvalFunc>(GetParam() % 3);
  s.inline_search_cells = GetParam() % 2 == 0 ? 0 : 1000000;
  auto counts = std::make_shared<const GroupCounts>(group_counts(d, *node.rows));
  const double d_parent = node_divergence(*counts, s.eval_func, false, 400);
  WorkerPool pool(2);
  const NodeRows rows = whole_node(node);
  const BestSplit best = find_best_split(d.x_names, node.dataset, rows, counts, d_parent, s, 99,
                                         pool, TreeDraws::seeded(GetParam(), 0), 0);
  double expected = kNoGain;
  std::string name;
  for (const std::string& f : d.x_names) {
    const auto one = search_feature(d, d.column(f), *node.rows, *counts, d_parent, s, rng);
    if (one && one->gain > expected) {
      expected = one->gain;
      name = f;
    }
  }
  EXPECT_EQ(best.gain, expected);
  EXPECT_EQ(best.col_name, name);
  // The winner's counts are those of partitioning the node on it.
  RowVector scratch;
  const std::size_t middle = partition_rows(d, rows, best, scratch);
  const std::span<const RowIndex> all = *rows.list;
  EXPECT_EQ(group_counts(d, all.first(middle)), best.left_counts);
  EXPECT_EQ(group_counts(d, all.subspan(middle)), best.right_counts);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ((*rows.words)[i], d.group_outcome[all[i]]) << i;  // the words follow their rows
  }
}
INSTANTIATE_TEST_SUITE_P(Seeds, FindBestSplit, ::testing::Range<std::uint64_t>(1, 13));

TEST(FindBestSplitEdges, NoFeatureSearchedLeavesTheInitialRecord) {
  Rng rng(1);
  const TrainingRoot node = make_node(testing_data::random_experiment(rng, 100, 2, 0, 2, false));
  auto counts = std::make_shared<const GroupCounts>(group_counts(*node.dataset, *node.rows));
  SplitSettings s;
  s.max_bins = 10;
  s.inline_search_cells = 0;
  WorkerPool pool(1);
  const BestSplit best = find_best_split(node.dataset->x_names, node.dataset, whole_node(node),
                                         counts, 0.0, s, 0, pool, TreeDraws::seeded(1, 0), 0);
  EXPECT_EQ(best.gain, kNoGain);
  EXPECT_TRUE(best.col_name.empty());
  EXPECT_TRUE(best.left_counts.empty());
}

// A job whose feature is unknown fails on its pool thread; the node's wait still ends and the
// node fails with the job's message.
TEST(FindBestSplitEdges, FailingJobEndsTheWaitAndFailsTheNode) {
  Rng rng(1);
  const TrainingRoot node = make_node(testing_data::random_experiment(rng, 100, 2, 0, 2, false));
  auto counts = std::make_shared<const GroupCounts>(group_counts(*node.dataset, *node.rows));
  SplitSettings s;
  s.max_bins = 10;
  WorkerPool pool(2);
  const std::vector<std::string> features = {"x0", "nope", "x1"};
  const NodeRows rows = whole_node(node);
  for (std::uint64_t inline_cells : {std::uint64_t{0}, std::uint64_t{1000000}}) {
    s.inline_search_cells = inline_cells;
    EXPECT_EQ(panic_message([&] {
                find_best_split(features, node.dataset, rows, counts, 0.0, s, 3, pool,
                                TreeDraws::seeded(1, 0), 0);
              }),
              "called `Option::unwrap()` on a `None` value");
  }
}

// Only the node's own range moves: the rows around it stay where they are.
TEST(PartitionRows, KeepsRowOrderWithinItsRangeAndSendsNanRight) {
  const TrainingRoot node =
      make_node(make_columns({{"x", Floats{3, NAN, 1, 2, -INFINITY, 2, 0, 5}},
                              {"s", Texts{"a", "A", "a", "", "b", "a", "a", "a"}}},
                             {0, 1, 0, 1, 0, 1, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0}));
  const Dataset& d = *node.dataset;
  RowVector scratch;
  BestSplit numeric;
  numeric.col_name = "x";
  numeric.split_value = SplitValue::numeric(2.0f);
  auto list = std::make_shared<RowVector>(RowVector{7, 0, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(partition_rows(d, NodeRows{list, 1, 7, nullptr}, numeric, scratch), 5u);
  EXPECT_EQ(*list, (RowVector{7, 2, 3, 4, 5, 0, 1, 6}));
  BestSplit text;  // categories are coded in order of first appearance: a, A, "", b
  text.col_name = "s";
  text.split_value = SplitValue::str("a");
  text.category = 0;
  list = std::make_shared<RowVector>(RowVector{0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(partition_rows(d, NodeRows{list, 0, 6, nullptr}, text, scratch), 3u);
  EXPECT_EQ(*list, (RowVector{0, 2, 5, 1, 3, 4, 6, 7}));
  text.split_value = SplitValue::str("");
  text.category = 2;
  EXPECT_EQ(partition_rows(d, NodeRows{list, 2, 8, nullptr}, text, scratch), 3u);
  EXPECT_EQ(*list, (RowVector{0, 2, 3, 5, 1, 4, 6, 7}));
}

}  // namespace
}  // namespace quillmarsh
