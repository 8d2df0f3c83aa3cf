// Forest prediction: the trees' leaf uplift vectors summed and divided by n_estimators, on
// prediction-ready trees (PackedForest) built once per trained or loaded forest.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "concurrency/cancel.hpp"
#include "uplift_random_forest/forest.hpp"
#include "uplift_tree/packed_forest.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// One inner list per input row, in row order.
using FloatTable = std::vector<std::vector<double>>;

// `packed` holds exactly forest.trees. The sum runs over every tree in list order, on the
// calling thread.
std::vector<double> predict_row(const UpliftRandomForestModel& forest, const PackedForest& packed,
                                RowView row);
// n_threads 1: every tree of the list, row by row on the calling thread. Other counts (below 0:
// the logical processors): prediction threads take tree jobs 0 .. n_estimators-1, and never
// more threads start than there are jobs. No rows give no result, whatever the count.
FloatTable predict(const UpliftRandomForestModel& forest,
                   const std::shared_ptr<const PackedForest>& packed, RowBatch rows,
                   std::int32_t n_threads);

// The same on trees packed for this one call.
std::vector<double> predict_row(const UpliftRandomForestModel& forest, RowView row);
FloatTable predict(const UpliftRandomForestModel& forest, RowBatch rows, std::int32_t n_threads);

// One feature's column of a batch: float32 values (NaN missing) for a numeric feature, or
// uint32 codes into `texts` (the caller's own dictionary, e.g. pandas.factorize's uniques);
// a code outside `texts` (such as 0xFFFFFFFF) matches no category.
struct ColumnInput {
  const float* numbers = nullptr;
  const std::uint32_t* codes = nullptr;
  std::span<const std::string> texts;
};

// out[r * K + k] = (sum over the trees, in list order, of leaf[k]) / divisor, K the leaf
// width; with std_out non-empty also the population standard deviation over the trees of
// leaf[k] for every (r, k). Runs on at most n_threads threads and never more than there are
// blocks of rows, all ended before it returns; reads `cancel` between blocks (throws
// Cancelled). Panics with a clear message when a split tests a column that is missing or of
// the other kind, or when leaves differ in width from out's.
// A block is RowBlock::kRows rows; the calling thread takes blocks too (n_threads 0 counts as
// 1). Every check is made before the first block, so the walks make none.
void predict_columns(const PackedForest& forest, std::span<const ColumnInput> columns,
                     std::size_t n_rows, double divisor, std::span<double> out,
                     std::span<double> std_out, std::size_t n_threads, const CancelFlag* cancel);

// The spread of a forest grown in groups of `group_size` consecutive trees (group_size >= 2):
// out as predict_columns (bit for bit). The trees form consecutive shares of `shares[s]` trees
// each (empty: one share of every tree), as a forest merged from forests grown apart; each
// share holds at least 2 whole groups. Per share s and entry, with G its groups, L =
// group_size: between_s = (1/G) sum_g (m_g - mu)^2 over its group means m_g (mu their mean),
// within_s = (1/(G L (L-1))) sum_g sum_{t in g} (x_t - m_g)^2, and V_s =
// little_bags_variance(between_s, within_s, G), the variance of the share's mean (little bags).
// With w_s = shares[s] / size(), the share's weight in the forest mean, between, within and
// variance receive sum_s w_s^2 between_s, sum_s w_s^2 within_s and sum_s w_s^2 V_s: the shares
// grew apart, so their means' variances add and groups are never pooled across shares. Panics
// when the shares do not cover the trees so.
void predict_group_spread(const PackedForest& forest, std::span<const ColumnInput> columns,
                          std::size_t n_rows, double divisor, std::size_t group_size,
                          std::span<const std::size_t> shares, std::span<double> out,
                          std::span<double> between, std::span<double> within,
                          std::span<double> variance, std::size_t n_threads,
                          const CancelFlag* cancel);

// The variance estimate of little bags from between and within over `groups` groups, kept
// positive: with v = between - within and its standard error s = max(between, within) *
// sqrt(2 / groups) (a variance estimated from `groups` values), the mean of the true variance
// given v under a flat prior on [0, inf) and a normal error, v + s * phi(v/s) / Phi(v/s). Close
// to v where v is large against s, small but positive where v <= 0; 0 only when s is 0 (every
// tree agrees).
double little_bags_variance(double between, double within, double groups) noexcept;

// Out-of-bag means: for each row r and entry k, out[r * K + k] = the mean over the trees t
// with !in_bag[t][r] of their leaf value (summed in tree order), NaN where every tree holds
// the row; counts[r] = the number of such trees.
void predict_out_of_bag(const PackedForest& forest, std::span<const ColumnInput> columns,
                        std::size_t n_rows, const std::vector<std::vector<bool>>& in_bag,
                        std::span<double> out, std::span<std::uint32_t> counts,
                        std::size_t n_threads, const CancelFlag* cancel);

}  // namespace quillmarsh
