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

}  // namespace quillmarsh
