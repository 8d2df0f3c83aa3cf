// Forest prediction on packed trees: tree outputs summed and divided by n_estimators, either on
// the calling thread, or one group of whole trees per job on prediction threads, or (for
// columns) one block of rows per job.
#include "uplift_random_forest/forest_predict.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "common/panic.hpp"
#include "concurrency/channel.hpp"
#include "concurrency/job_queue.hpp"
#include "concurrency/thread.hpp"
#include "uplift_random_forest/row_blocks.hpp"
#include "uplift_tree/routing.hpp"
#include "uplift_tree/tree_predict.hpp"

namespace quillmarsh {
namespace {

std::vector<double> divided(std::span<const double> values, std::int32_t n_estimators) {
  std::vector<double> out(values.begin(), values.end());
  const auto divisor = static_cast<double>(n_estimators);
  for (double& v : out) v /= divisor;
  return out;
}

FloatTable divided(const PredictionTable& table, std::int32_t n_estimators) {
  FloatTable result;
  result.reserve(table.size());
  for (std::size_t r = 0; r < table.size(); ++r) {
    result.push_back(divided(table.row(r), n_estimators));
  }
  return result;
}

// sum[i][j] += table[i][j] over the sum's shape.
void add_table(PredictionTable& sum, const PredictionTable& table) {
  if (sum.uniform() && table.uniform() && sum.width() == table.width() &&
      sum.size() == table.size()) {  // the usual case: every leaf has K entries
    const std::span<double> into = sum.values();
    const std::span<const double> from = std::as_const(table).values();
    for (std::size_t v = 0; v < into.size(); ++v) into[v] += from[v];
    return;
  }
  for (std::size_t i = 0; i < sum.size(); ++i) {
    if (i >= table.size()) panic_index(table.size(), i);
    const std::span<double> into = sum.row(i);
    const std::span<const double> from = table.row(i);
    for (std::size_t j = 0; j < into.size(); ++j) {
      if (j >= from.size()) panic_index(from.size(), j);
      into[j] += from[j];
    }
  }
}

// How many jobs a prediction thread takes at once and sums in one pass over the rows: its
// share of the trees, so that each thread passes over the rows about once, but never so many
// that one thread is left with most of a large forest.
std::size_t trees_per_pass(std::int32_t n_estimators, std::size_t threads) {
  constexpr std::size_t kMaxTreesPerPass = 64;
  const auto jobs = static_cast<std::size_t>(std::max(n_estimators, 0));
  const std::size_t takers = std::max<std::size_t>(threads, 1);
  const std::size_t share = (jobs + takers - 1) / takers;
  return std::clamp<std::size_t>(share, 1, kMaxTreesPerPass);
}

// The sum of the outputs of `trees` trees, each a job of the count.
struct PartialSum {
  PredictionTable table;
  std::int64_t trees = 0;
};

// Jobs are tree numbers 0 .. n_estimators-1; a thread takes a group of them and sends the sum
// of their tables for all rows (each table with the batch walk's checks), until no job is
// left. A failing group ends its thread, so the count of summed trees falls short. The call
// returns once every thread has ended.
FloatTable predict_on_threads(const UpliftRandomForestModel& forest,
                              const std::shared_ptr<const PackedForest>& packed, RowBatch rows,
                              std::int32_t n_threads) {
  const std::size_t threads =
      std::min<std::size_t>(static_cast<std::size_t>(n_threads),
                            static_cast<std::size_t>(std::max(forest.n_estimators, 0)));
  const std::size_t group = trees_per_pass(forest.n_estimators, threads);
  auto jobs = std::make_shared<JobQueue>(JobQueue::sequence(forest.n_estimators));
  auto shared_rows = std::make_shared<const RowBatch>(std::move(rows));
  auto [sender, receiver] = make_channel<PartialSum>();
  const std::shared_ptr<ThreadGroup> running = ThreadGroup::create();
  for (std::size_t t = 0; t < threads; ++t) {
    spawn_detached(
        [jobs, packed, shared_rows, group, tx = sender]() mutable {
          std::vector<std::uint32_t> taken;
          for (;;) {
            taken.clear();
            std::optional<std::uint64_t> beyond;  // a job naming no tree of the list
            while (taken.size() < group) {
              const std::optional<std::int32_t> job = jobs->try_pop();
              if (!job) break;
              const auto k = static_cast<std::uint64_t>(*job);
              if (k >= packed->size()) {
                beyond = k;
                break;
              }
              taken.push_back(static_cast<std::uint32_t>(k));
            }
            if (!taken.empty()) {
              PartialSum partial{sum_rows(*packed, taken, *shared_rows, BatchChecks::kFirstRow),
                                 static_cast<std::int64_t>(taken.size())};
              if (!tx.send(std::move(partial))) return;  // receiver gone
            }
            if (beyond) panic_index(packed->size(), *beyond);
            if (taken.empty()) return;  // no job left
          }
        },
        running);
  }
  sender.reset();  // the channel closes when the last prediction thread ends

  PredictionTable sum;
  std::int64_t count = 0;
  while (std::optional<PartialSum> partial = receiver.recv()) {
    if (count == 0) {
      sum = std::move(partial->table);
    } else {
      add_table(sum, partial->table);
    }
    count += partial->trees;
  }
  running->wait_until_empty();
  if (count != forest.n_estimators) panic("assertion failed: count == self.n_estimators");
  return divided(sum, forest.n_estimators);
}

// predict_columns: what every block needs, read-only while the blocks run.
struct ColumnsCall {
  const PackedForest& forest;
  std::span<const ColumnInput> columns;
  std::vector<std::vector<std::uint32_t>> category_ids;  // per forest column: code -> id
  std::size_t n_rows;
  std::size_t width;
  double divisor;
  std::span<double> out;
  std::span<double> std_out;
  // predict_group_spread
  std::size_t group_size = 0;
  std::span<const std::size_t> shares;  // tree counts of consecutive shares, summing to all
  std::span<double> between;
  std::span<double> within;
  std::span<double> variance;
  // predict_out_of_bag
  const std::vector<std::vector<bool>>* in_bag = nullptr;
  std::span<std::uint32_t> counts;
};

std::string column_text(std::uint64_t col_idx) { return "column " + std::to_string(col_idx); }

// The checks of predict_columns that need no row: shapes, the forest's leaves and node arrays,
// and the kind of every column a split tests. Returns the leaf width.
std::size_t checked_width(const PackedForest& forest, std::span<const ColumnInput> columns,
                          std::size_t n_rows, std::span<const double> out,
                          std::span<const double> std_out) {
  if (n_rows == 0 ? !out.empty() : out.size() % n_rows != 0) {
    panic("predict_columns: out holds " + std::to_string(out.size()) +
          " values, which is no whole number per row for " + std::to_string(n_rows) + " rows");
  }
  if (!std_out.empty() && std_out.size() != out.size()) {
    panic("predict_columns: std_out holds " + std::to_string(std_out.size()) +
          " values, out holds " + std::to_string(out.size()));
  }
  const std::size_t width = n_rows == 0 ? 0 : out.size() / n_rows;
  if (const std::optional<std::string> defect = forest.defect()) {
    panic("predict_columns: the forest cannot be walked: " + *defect);
  }
  if (n_rows != 0 && forest.size() != 0 && forest.leaf_width() != width) {
    panic("predict_columns: the forest's leaves hold " +
          (forest.leaf_width() ? std::to_string(*forest.leaf_width()) + " values"
                               : std::string("different numbers of values")) +
          ", out has room for " + std::to_string(width) + " per row");
  }
  for (const PackedForest::Column& column : forest.columns()) {
    const std::string name = column_text(column.col_idx);
    if (column.col_idx >= columns.size()) {
      panic("predict_columns: a split tests " + name + ", but " + std::to_string(columns.size()) +
            " columns were given");
    }
    const ColumnInput& given = columns[column.col_idx];
    if (given.numbers != nullptr && given.codes != nullptr) {
      panic("predict_columns: " + name + " is given both numbers and codes");
    }
    if (given.numbers == nullptr && given.codes == nullptr) {
      panic("predict_columns: a split tests " + name + ", which is missing");
    }
    if (column.numeric && given.numbers == nullptr) {
      panic("predict_columns: a split compares " + name +
            " with a threshold, but it holds codes of texts");
    }
    if (column.category && given.codes == nullptr) {
      panic("predict_columns: a split compares " + name + " with a category, but it holds numbers");
    }
  }
  return width;
}

// Rows [first, first + block.rows()) of the caller's columns, in the forest's columns.
void load_block(const ColumnsCall& call, std::size_t first, RowBlock& block) {
  const std::span<const PackedForest::Column> columns = call.forest.columns();
  const std::size_t rows = block.rows();
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const ColumnInput& given = call.columns[columns[j].col_idx];
    std::uint32_t* const words = block.words(j);
    if (given.numbers != nullptr) {
      for (std::size_t r = 0; r < rows; ++r) words[r] = value_key(given.numbers[first + r]);
      continue;
    }
    const std::vector<std::uint32_t>& ids = call.category_ids[j];
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint32_t code = given.codes[first + r];
      words[r] = code < ids.size() ? ids[code] : PackedForest::kNoCategory;
    }
  }
}

// The buffers of one thread's blocks.
struct BlockBuffers {
  explicit BlockBuffers(const ColumnsCall& call)
      : block(call.forest.columns().size(), /*tagged=*/false),
        sums(RowBlock::kRows * call.width),
        mean(call.std_out.empty() ? 0 : sums.size()),
        m2(mean.size()),
        share_sum(call.group_size == 0 ? 0 : sums.size()),
        share_squares(share_sum.size()),
        group_squares(share_sum.size()),
        tree_values(call.in_bag == nullptr ? 0 : sums.size()),
        leaf_at(call.group_size * RowBlock::kRows) {}
  RowBlock block;
  // share_sum, share_squares, group_squares: the current share's sum of leaf entries, sum of
  // their squares and sum of its group sums' squares (block_group_spread)
  std::vector<double> sums, mean, m2, share_sum, share_squares, group_squares, tree_values;
  std::vector<std::uint32_t> leaf_at;  // the leaves of a group's trees
};

// -0.0 + x is x for every x, so the first tree's output enters the sum unchanged.
double empty_sum(const ColumnsCall& call) { return call.forest.size() == 0 ? 0.0 : -0.0; }

// The mean of every tree (and their spread when asked) for the rows of the block at `first`.
void block_means(const ColumnsCall& call, std::size_t first, BlockBuffers& b) {
  const std::size_t width = call.width;
  const bool spread = !call.std_out.empty();
  const LeafMoments moments{b.mean.data(), b.m2.data()};
  const std::size_t values = b.block.rows() * width;
  std::fill_n(b.sums.begin(), values, empty_sum(call));
  std::fill_n(b.mean.begin(), spread ? values : 0, 0.0);
  std::fill_n(b.m2.begin(), spread ? values : 0, 0.0);
  call.forest.add_trees<false>(call.forest.all_trees(), b.block, width, b.sums.data(),
                               spread ? &moments : nullptr);
  double* const out = call.out.data() + first * width;
  for (std::size_t v = 0; v < values; ++v) out[v] = b.sums[v] / call.divisor;
  if (!spread) return;
  const auto trees = static_cast<double>(call.forest.size());
  double* const std_out = call.std_out.data() + first * width;
  for (std::size_t v = 0; v < values; ++v) {
    std_out[v] = trees == 0.0 ? 0.0 : std::sqrt(b.m2[v] / trees);
  }
}

// One share's groups finished (`trees` trees in `groups` groups of L = group_size): from the
// sum S of its leaves, the sum Q of their squares and the sum P of its groups' squared sums,
// mu = S / trees, between = P / (G L^2) - mu^2 (the mean square of the group means less the
// square of their mean) and within = (Q - P / L) / (G L (L - 1)) (the squared deviations
// from the group means), each weighted by the square of the share's weight in the forest
// mean and added to the call's outputs at `at` with the share's variance. Clears the sums.
void add_share(const ColumnsCall& call, std::size_t at, std::size_t values, std::size_t trees,
               BlockBuffers& b) {
  const auto size = static_cast<double>(call.group_size);
  const auto count = static_cast<double>(trees);
  const double groups = count / size;
  const double weight = count / static_cast<double>(call.forest.size());
  const double square = weight * weight;
  for (std::size_t v = 0; v < values; ++v) {
    const double mu = b.share_sum[v] / count;
    const double between = std::max(b.group_squares[v] / (count * size) - mu * mu, 0.0);
    const double deviations = std::max(b.share_squares[v] - b.group_squares[v] / size, 0.0);
    const double within = deviations / (groups * size * (size - 1.0));
    call.between[at + v] += square * between;
    call.within[at + v] += square * within;
    call.variance[at + v] += square * little_bags_variance(between, within, groups);
    b.share_sum[v] = 0.0;
    b.share_squares[v] = 0.0;
    b.group_squares[v] = 0.0;
  }
}

// The group by group walk of predict_group_spread. Each group's trees are walked, then one
// pass over the entries adds their leaves to the forest's sum (in list order, as in
// block_means, so the mean is the same to the bit) and the group's sum, its square and the
// leaves' squares to the share's; each finished share adds its weighted variance. No per-tree
// values are kept, only the leaves the group's trees reached.
void block_group_spread(const ColumnsCall& call, std::size_t first, BlockBuffers& b) {
  const std::size_t width = call.width;
  const std::size_t values = b.block.rows() * width;
  const std::size_t size = call.group_size;
  const std::size_t at = first * width;
  const GroupSums group{b.share_sum.data(), b.share_squares.data(), b.group_squares.data()};
  std::fill_n(b.sums.begin(), values, empty_sum(call));
  for (std::vector<double>* buffer : {&b.share_sum, &b.share_squares, &b.group_squares}) {
    std::fill_n(buffer->begin(), values, 0.0);
  }
  for (std::span<double> output : {call.between, call.within, call.variance}) {
    std::fill_n(output.begin() + static_cast<std::ptrdiff_t>(at), values, 0.0);
  }
  const std::span<const std::uint32_t> trees = call.forest.all_trees();
  std::size_t start = 0;
  for (const std::size_t share_trees : call.shares) {
    for (std::size_t g = start; g < start + share_trees; g += size) {
      call.forest.add_group(trees.subspan(g, size), b.block, width, b.sums.data(), group,
                            b.leaf_at.data());
    }
    add_share(call, at, values, share_trees, b);
    start += share_trees;
  }
  for (std::size_t v = 0; v < values; ++v) call.out[at + v] = b.sums[v] / call.divisor;
}

// The out-of-bag walk: each tree on its own, its values kept for the rows it did not hold.
void block_out_of_bag(const ColumnsCall& call, std::size_t first, BlockBuffers& b) {
  const std::size_t width = call.width;
  const std::size_t rows = b.block.rows();
  const std::size_t values = rows * width;
  std::fill_n(b.sums.begin(), values, -0.0);
  std::vector<std::uint32_t> counts(rows, 0);
  const std::span<const std::uint32_t> trees = call.forest.all_trees();
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const std::vector<bool>& held = (*call.in_bag)[t];
    std::fill_n(b.tree_values.begin(), values, -0.0);
    call.forest.add_trees<false>(trees.subspan(t, 1), b.block, width, b.tree_values.data(),
                                 nullptr);
    for (std::size_t r = 0; r < rows; ++r) {
      if (held[first + r]) continue;
      ++counts[r];
      for (std::size_t k = 0; k < width; ++k) b.sums[r * width + k] += b.tree_values[r * width + k];
    }
  }
  for (std::size_t r = 0; r < rows; ++r) {
    call.counts[first + r] = counts[r];
    for (std::size_t k = 0; k < width; ++k) {
      call.out[(first + r) * width + k] =
          counts[r] == 0 ? std::numeric_limits<double>::quiet_NaN()
                         : b.sums[r * width + k] / static_cast<double>(counts[r]);
    }
  }
}

// Takes blocks until none is left; returns how many it finished. Reads both flags before
// every block.
std::size_t predict_blocks(const ColumnsCall& call, JobQueue& blocks, const CancelFlag& stop,
                           const CancelFlag* cancel) {
  BlockBuffers buffers(call);
  std::size_t done = 0;
  while (const std::optional<std::int32_t> job = blocks.try_pop()) {
    stop.throw_if_requested();
    if (cancel != nullptr) cancel->throw_if_requested();
    const std::size_t first = static_cast<std::size_t>(*job) * RowBlock::kRows;
    buffers.block.set_rows(std::min(RowBlock::kRows, call.n_rows - first));
    load_block(call, first, buffers.block);
    if (call.group_size != 0) {
      block_group_spread(call, first, buffers);
    } else if (call.in_bag != nullptr) {
      block_out_of_bag(call, first, buffers);
    } else {
      block_means(call, first, buffers);
    }
    ++done;
  }
  return done;
}

}  // namespace

std::vector<double> predict_row(const UpliftRandomForestModel& forest, const PackedForest& packed,
                                RowView row) {
  const std::vector<std::uint32_t> text_ids =
      row.texts == nullptr ? std::vector<std::uint32_t>{} : packed.category_ids(*row.texts);
  return divided(sum_row(packed, packed.all_trees(), row, text_ids), forest.n_estimators);
}

FloatTable predict(const UpliftRandomForestModel& forest,
                   const std::shared_ptr<const PackedForest>& packed, RowBatch rows,
                   std::int32_t n_threads) {
  if (rows.empty()) return {};  // predicting nothing is not an error, whatever the thread count
  const std::int32_t n = n_threads < 0 ? logical_processors() : n_threads;
  if (n == 1) {
    return divided(sum_rows(*packed, packed->all_trees(), rows, BatchChecks::kNone),
                   forest.n_estimators);
  }
  return predict_on_threads(forest, packed, std::move(rows), n);
}

std::vector<double> predict_row(const UpliftRandomForestModel& forest, RowView row) {
  return predict_row(forest, PackedForest(forest.trees), row);
}

FloatTable predict(const UpliftRandomForestModel& forest, RowBatch rows, std::int32_t n_threads) {
  return predict(forest, std::make_shared<const PackedForest>(forest.trees), std::move(rows),
                 n_threads);
}

namespace {

// Checks the columns of `call` and runs its blocks on at most n_threads threads.
void run_columns(ColumnsCall& call, std::span<const ColumnInput> columns, std::size_t n_threads,
                 const CancelFlag* cancel) {
  const PackedForest& forest = call.forest;
  const std::size_t n_rows = call.n_rows;
  call.width = checked_width(forest, columns, n_rows, call.out, call.std_out);
  for (const PackedForest::Column& column : forest.columns()) {
    const ColumnInput& given = columns[column.col_idx];
    call.category_ids.push_back(given.codes == nullptr ? std::vector<std::uint32_t>{}
                                                       : forest.category_ids(given.texts));
  }
  run_row_blocks("predict_columns", n_rows, RowBlock::kRows, n_threads, cancel,
                 [&call, cancel](JobQueue& blocks, const CancelFlag& stop) {
                   return predict_blocks(call, blocks, stop, cancel);
                 });
}

}  // namespace

void predict_columns(const PackedForest& forest, std::span<const ColumnInput> columns,
                     std::size_t n_rows, double divisor, std::span<double> out,
                     std::span<double> std_out, std::size_t n_threads, const CancelFlag* cancel) {
  ColumnsCall call{forest, columns, {}, n_rows, 0,  divisor, out, std_out,
                   0,      {},      {}, {},     {}, nullptr, {}};
  run_columns(call, columns, n_threads, cancel);
}

void predict_group_spread(const PackedForest& forest, std::span<const ColumnInput> columns,
                          std::size_t n_rows, double divisor, std::size_t group_size,
                          std::span<const std::size_t> shares, std::span<double> out,
                          std::span<double> between, std::span<double> within,
                          std::span<double> variance, std::size_t n_threads,
                          const CancelFlag* cancel) {
  if (group_size < 2 || forest.size() % group_size != 0) {
    panic("predict_group_spread: " + std::to_string(forest.size()) +
          " trees do not form groups of " + std::to_string(group_size) + " (at least 2)");
  }
  const std::size_t whole[] = {forest.size()};
  if (shares.empty()) shares = whole;
  std::size_t total = 0;
  for (const std::size_t trees : shares) {
    if (trees % group_size != 0 || trees < 2 * group_size) {
      panic("predict_group_spread: a share of " + std::to_string(trees) +
            " trees does not form at least 2 groups of " + std::to_string(group_size));
    }
    total += trees;
  }
  if (total != forest.size()) {
    panic("predict_group_spread: the shares hold " + std::to_string(total) + " trees, the forest " +
          std::to_string(forest.size()));
  }
  if (between.size() != out.size() || within.size() != out.size() ||
      variance.size() != out.size()) {
    panic("predict_group_spread: between, within and variance must have the size of out");
  }
  ColumnsCall call{forest, columns, {}, n_rows, 0,  divisor, out, {},
                   0,      {},      {}, {},     {}, nullptr, {}};
  call.group_size = group_size;
  call.shares = shares;
  call.between = between;
  call.within = within;
  call.variance = variance;
  run_columns(call, columns, n_threads, cancel);
}

double little_bags_variance(double between, double within, double groups) noexcept {
  const double raw = between - within;
  const double se = std::max(between, within) * std::sqrt(2.0 / groups);
  if (std::isnan(raw) || std::isnan(se)) return std::numeric_limits<double>::quiet_NaN();
  if (!(se > 0.0)) return std::max(raw, 0.0);
  const double r = raw / se;
  const double cdf = 0.5 * std::erfc(-r / std::sqrt(2.0));
  // Far in the lower tail phi(r) / Phi(r) tends to -r - 1/r, and the mean to -s / r.
  if (cdf < 1e-300) return -se / r;
  const double density = std::exp(-0.5 * r * r) / std::sqrt(2.0 * 3.14159265358979323846);
  return raw + se * density / cdf;
}

void predict_out_of_bag(const PackedForest& forest, std::span<const ColumnInput> columns,
                        std::size_t n_rows, const std::vector<std::vector<bool>>& in_bag,
                        std::span<double> out, std::span<std::uint32_t> counts,
                        std::size_t n_threads, const CancelFlag* cancel) {
  if (in_bag.size() != forest.size() || counts.size() != n_rows) {
    panic("predict_out_of_bag: one membership per tree and one count per row are needed");
  }
  for (const std::vector<bool>& held : in_bag) {
    if (held.size() != n_rows) panic("predict_out_of_bag: a membership differs in rows");
  }
  ColumnsCall call{forest, columns, {}, n_rows, 0, 1.0, out, {}, 0, {}, {}, {}, {}, nullptr, {}};
  call.in_bag = &in_bag;
  call.counts = counts;
  run_columns(call, columns, n_threads, cancel);
}

}  // namespace quillmarsh
