// Per-row contributions of a forest's uplift predictions (path-dependent TreeSHAP): for every
// row, feature and output, how far the feature moved the row's prediction from the forest's
// expected value. The expectation follows each tree's own node covers (the rows of all groups
// that reached a node while it grew; for honest trees its estimation rows): a feature outside
// a coalition follows both branches of its splits, weighted by the children's covers.
#pragma once

#include <cstddef>
#include <span>

#include "concurrency/cancel.hpp"
#include "uplift_random_forest/forest_predict.hpp"
#include "uplift_tree/node_stats.hpp"
#include "uplift_tree/records.hpp"

namespace quillmarsh {

// The share of a node's cover that each child receives. A subtree whose leaves all lack a
// value (NaN: a tree that is not honest and had no row of a group there) receives none, so
// such leaves weigh nothing in the expectations (base values stay finite); a row whose own
// branch at some split leads to one gets NaN contributions, as a row that reaches one gets a
// NaN prediction. Otherwise a leaf's cover is its rows, a split's the sum of its children's,
// and children of a split without cover share it equally.
std::vector<double> child_fractions(const UpliftTreeModel& tree, const NodeStats& stats);

// How each tree is explained (explain.cpp): by its table of Shapley weights or by the classic
// walk. Both give the same values up to rounding; the choice only changes the cost, so callers
// leave it to the cheapest, and tests name one to check each. A tree too deep for a table is
// walked whatever the choice.
enum class ExplainMethod { kCheapest, kTable, kWalk };

// contributions[(r * F + f) * K + k] for rows r, features f (F = columns.size()) and outputs k
// (K the leaf width), and base[k], each the sum over the trees in list order divided by
// `divisor`: for every row and output, base + the sum over f equals the row's prediction up to
// rounding. `stats` holds one entry per tree. Runs on at most n_threads threads (the calling
// thread among them), all ended before it returns; reads `cancel` between blocks of rows
// (throws Cancelled). Panics when a split tests a column that is missing or of the other kind,
// or when the shapes disagree.
void explain_columns(std::span<const UpliftTreeModel> trees, std::span<const NodeStats> stats,
                     double divisor, std::span<const ColumnInput> columns, std::size_t n_rows,
                     std::span<double> contributions, std::span<double> base, std::size_t n_threads,
                     const CancelFlag* cancel, ExplainMethod method = ExplainMethod::kCheapest);

}  // namespace quillmarsh
