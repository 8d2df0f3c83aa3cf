// One seeded forest fit beside its bandwidth limit. The fit trains the forest of
// bench/bench_fit.py's workload (synthetic data of the same shape, drawn here); the limit probe
// then replays, over the very nodes that forest searched (same row lists, same drawn features),
// only the counting pass: read each row's feature value and its packed group word, bin the
// value, add the row to its bin. The fit can come no closer to the probe than the work beyond
// counting (sampling, scoring, partitioning, scheduling) allows.
//
//   build/bench/bench/fit_limit [--rows 140000] [--trees 100] [--threads 2] [--measure KL]
//       [--max-features 10] [--max-depth 8] [--min-sample-leaf 100] [--max-bins 10]
//       [--seed 1] [--repeat 1] [--no-probe]
//
// Wall and CPU seconds are printed for both; on a shared machine compare CPU seconds. The
// digest of the model document (trees in job order) identifies the forest: a change of the
// training code that keeps every stored number keeps it.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "concurrency/rng.hpp"
#include "model_file/json_writer.hpp"
#include "uplift_random_forest/train.hpp"
#include "uplift_tree/dataset.hpp"
#include "uplift_tree/draws.hpp"
#include "uplift_tree/split_search.hpp"

namespace quillmarsh {
namespace {

struct Options {
  std::size_t rows = 140000;
  std::int32_t trees = 100;
  std::int32_t threads = 2;
  std::string measure = "KL";
  std::uint64_t max_features = 10;
  std::uint64_t max_depth = 8;
  std::uint64_t min_sample_leaf = 100;
  std::uint64_t max_bins = 10;
  std::uint64_t seed = 1;
  int repeat = 1;
  bool probe = true;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--rows")
      o.rows = std::stoull(next());
    else if (a == "--trees")
      o.trees = std::stoi(next());
    else if (a == "--threads")
      o.threads = std::stoi(next());
    else if (a == "--measure")
      o.measure = next();
    else if (a == "--max-features")
      o.max_features = std::stoull(next());
    else if (a == "--max-depth")
      o.max_depth = std::stoull(next());
    else if (a == "--min-sample-leaf")
      o.min_sample_leaf = std::stoull(next());
    else if (a == "--max-bins")
      o.max_bins = std::stoull(next());
    else if (a == "--seed")
      o.seed = std::stoull(next());
    else if (a == "--repeat")
      o.repeat = std::stoi(next());
    else if (a == "--no-probe")
      o.probe = false;
    else
      throw std::invalid_argument("unknown argument " + a);
  }
  return o;
}

// The columns of bench/synthetic.py's experiment: 20 numeric features (standard normal, every
// third uniform on [0, 10)), string features of 4 and 5 levels, control and two arms, an
// outcome whose rate depends on a few features and on the arm.
struct Experiment {
  std::vector<std::vector<float>> numbers;
  std::vector<std::vector<std::uint32_t>> codes;
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
};

Experiment generate(std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  const auto uniform = [&] { return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53; };
  const auto normal = [&] {
    const double u = 1.0 - uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
  };
  Experiment e;
  e.numbers.assign(20, std::vector<float>(n));
  e.codes.assign(2, std::vector<std::uint32_t>(n));
  e.treatment.resize(n);
  e.outcome.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t j = 0; j < 20; ++j) {
      e.numbers[j][r] = static_cast<float>(j % 3 == 2 ? 10.0 * uniform() : normal());
    }
    e.codes[0][r] = static_cast<std::uint32_t>(rng.below(4));
    e.codes[1][r] = static_cast<std::uint32_t>(rng.below(5));
    const auto arm = static_cast<std::int32_t>(rng.below(3));
    double z = -1.0 + 0.5 * std::tanh(e.numbers[19][r]) - 0.4 * std::tanh(e.numbers[18][r]) +
               (e.codes[1][r] == 0 ? 0.5 : 0.0);
    double p = 1.0 / (1.0 + std::exp(-z));
    if (arm > 0) {
      const std::size_t a = 2 * static_cast<std::size_t>(arm) - 2;
      const double tau = 0.5 * (e.numbers[a][r] > 0.0 ? 1.0 : 0.0) +
                         0.3 * std::tanh(e.numbers[a + 1][r]) +
                         (e.codes[0][r] == static_cast<std::uint32_t>(arm - 1) ? 0.2 : 0.0);
      p += 0.12 * (tau - 0.25);
    }
    p = std::clamp(p, 0.02, 0.98);
    e.treatment[r] = arm;
    e.outcome[r] = uniform() < p ? 1 : 0;
  }
  return e;
}

TrainingColumns columns_of(const Experiment& e) {
  TrainingColumns c;
  for (std::size_t j = 0; j < e.numbers.size(); ++j) {
    c.x_names.push_back(std::string("x").append(std::to_string(j)));
    c.features.emplace_back(NumericFeature{e.numbers[j]});
  }
  const std::vector<std::vector<std::string>> levels = {
      {"red", "green", "blue", "amber"}, {"north", "south", "east", "west", "centre"}};
  for (std::size_t j = 0; j < e.codes.size(); ++j) {
    c.x_names.push_back(std::string("cat").append(std::to_string(j)));
    c.features.emplace_back(StringFeature{e.codes[j], levels[j]});
  }
  c.treatment = e.treatment;
  c.outcome = e.outcome;
  return c;
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Peak resident set (VmHWM) in KiB after resetting it, so that the next reading is the peak of
// what runs in between; 0 when /proc is unavailable.
std::uint64_t status_kib(const char* field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(std::string(field).size() + 1));
  }
  return 0;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

class SilentSink : public ProgressSink {
 public:
  void print_line(std::string) override {}
};

UpliftRandomForestModel fit_forest(const Options& o, const TrainingRoot& root) {
  UpliftRandomForestModel forest{.n_estimators = o.trees,
                                 .max_features = o.max_features,
                                 .max_depth = o.max_depth,
                                 .min_sample_leaf = o.min_sample_leaf,
                                 .eval_func = o.measure,
                                 .max_bins = o.max_bins,
                                 .treatment_col = {},
                                 .outcome_col = {},
                                 .balance = false,
                                 .regularization = false,
                                 .alpha = 0.9,
                                 .trees = {}};
  const UpliftTreeModel tree_template = make_tree_template(forest, parse_eval_func(o.measure));
  TrainingRun run(root, tree_template, "treatment", "outcome",
                  TrainingPlan{o.trees, o.threads, o.seed, {}});
  forest.trees.resize(static_cast<std::size_t>(std::max(o.trees, 0)));
  while (std::optional<TreeOutcome> outcome = run.next()) {
    if (!outcome->tree) throw std::runtime_error("a tree failed: " + outcome->failure);
    forest.trees[static_cast<std::size_t>(outcome->index)] = std::move(*outcome->tree);
  }
  run.wait_for_threads();
  forest.treatment_col = "treatment";
  forest.outcome_col = "outcome";
  return forest;
}

// ---- the limit probe --------------------------------------------------------------------

// What the probe bins by: nine ascending thresholds per numeric column (its deciles), every
// category of a string column.
struct ProbeBins {
  std::vector<std::vector<float>> thresholds;
  std::vector<std::vector<std::uint32_t>> categories;
};

ProbeBins probe_bins(const Dataset& d) {
  ProbeBins b;
  for (const NumericColumn& column : d.num_cols) {
    std::vector<float> sorted(column.begin(), column.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<float>& t = b.thresholds.emplace_back();
    for (std::size_t i = 1; i < 10; ++i) t.push_back(sorted[i * sorted.size() / 10]);
  }
  for (const StringCodes& column : d.str_cols) {
    std::vector<std::uint32_t>& c = b.categories.emplace_back(column.dictionary.size());
    for (std::uint32_t i = 0; i < c.size(); ++i) c[i] = i;
  }
  return b;
}

// The counting pass of one feature over one node, as the fit's search runs it: read each row's
// value through the row list, bin it and count it beside its packed word.
void count_node(const Dataset& d, ColumnRef ref, const ProbeBins& bins,
                std::span<const RowIndex> rows, std::span<const std::uint32_t> words,
                std::size_t g2, std::vector<std::uint32_t>& slots) {
  if (ref.is_numeric()) {
    count_numeric_slots(ScatteredCells<float>(d.numeric(ref), rows), words,
                        bins.thresholds[ref.index], g2, slots);
  } else {
    const StringCodes& column = d.strings(ref);
    count_string_slots(ScatteredCells<std::uint32_t>(column.codes, rows), words,
                       bins.categories[ref.index], column.dictionary.size(), g2, slots);
  }
}

bool goes_left(const Dataset& d, const TreeNode& node, RowIndex r) {
  const ColumnRef ref = d.column(node.col_name);
  if (ref.is_numeric()) return d.numeric(ref)[r] <= node.split_value.as_numeric();
  const StringCodes& s = d.strings(ref);
  return s.dictionary[s.codes[r]] == node.split_value.as_str();
}

struct ProbeTotals {
  double seconds = 0.0;  // timed counting only
  double cpu = 0.0;
  std::uint64_t visits = 0;
  std::uint64_t checksum = 0;  // keeps the counting from being optimised away
};

// Replays tree `t`: routes the rows down its stored splits and, at every node the fit searched
// (depth below max_depth, big enough to split), counts the features the fit drew there.
void probe_tree(const Options& o, const Dataset& d, const ProbeBins& bins,
                const UpliftTreeModel& tree, std::uint64_t t, ProbeTotals& totals) {
  const TreeDraws draws = TreeDraws::seeded(o.seed, t);
  const std::size_t g2 = 2 * (static_cast<std::size_t>(d.max_treatment) + 1);
  std::vector<std::uint32_t> slots;
  std::vector<std::vector<RowIndex>> rows(tree.nodes.size());
  rows[0].resize(d.n_rows());
  for (RowIndex r = 0; r < d.n_rows(); ++r) rows[0][r] = r;
  std::vector<std::uint32_t> words;
  for (std::uint64_t slot = 0; slot < tree.nodes.size(); ++slot) {
    const std::vector<RowIndex>& list = rows[slot];
    if (list.empty()) continue;
    const std::uint64_t depth = static_cast<std::uint64_t>(std::bit_width(slot + 1)) - 1;
    if (depth < o.max_depth && o.min_sample_leaf < list.size() / 2) {
      TreeDraws::Site site = draws.at(slot, 0);
      const std::vector<std::uint64_t> drawn = sample_without_replacement(
          site.rng(), tree.feature_cols.size(),
          std::min<std::uint64_t>(o.max_features, tree.feature_cols.size()));
      words.resize(list.size());
      for (std::size_t i = 0; i < list.size(); ++i) words[i] = d.group_outcome[list[i]];
      const auto start = std::chrono::steady_clock::now();
      const double cpu = thread_cpu_seconds();
      for (const std::uint64_t f : drawn) {
        count_node(d, d.column(tree.feature_cols[f]), bins, list, words, g2, slots);
        totals.checksum += slots[g2 + 1];
      }
      totals.cpu += thread_cpu_seconds() - cpu;
      totals.seconds += seconds_since(start);
      totals.visits += list.size() * drawn.size();
    }
    const TreeNode& node = tree.nodes[slot];
    if (node.is_leaf() || node.col_idx < 0) continue;
    for (const RowIndex r : list)
      rows[(goes_left(d, node, r) ? left_child : right_child)(slot)].push_back(r);
    rows[slot] = {};
  }
}

// The probe's wall and CPU seconds.
std::pair<double, double> run_probe(const Options& o, const Dataset& d,
                                    const UpliftRandomForestModel& forest) {
  const ProbeBins bins = probe_bins(d);
  const auto workers = static_cast<std::size_t>(std::max(o.threads, 1));
  std::vector<ProbeTotals> totals(workers);
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      for (std::size_t t; (t = next.fetch_add(1)) < forest.trees.size();) {
        probe_tree(o, d, bins, forest.trees[t], t, totals[w]);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  ProbeTotals sum;
  double wall = 0.0;
  for (const ProbeTotals& t : totals) {
    wall = std::max(wall, t.seconds);  // the threads count side by side
    sum.cpu += t.cpu;
    sum.visits += t.visits;
    sum.checksum += t.checksum;
  }
  std::printf(
      "limit probe: %.3g row visits in %.3f s on %zu threads (CPU %.3f s, %.2f ns per "
      "visit)  [checksum %llu]\n",
      static_cast<double>(sum.visits), wall, workers, sum.cpu,
      sum.cpu * 1e9 / static_cast<double>(sum.visits),
      static_cast<unsigned long long>(sum.checksum % 1000));
  return {wall, sum.cpu};
}

int run(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const Experiment e = generate(o.rows, o.seed);
  std::printf(
      "%zu rows, 22 features, 2 treatment groups; %d trees, %s, max_depth %llu, "
      "max_features %llu, max_bins %llu, min_sample_leaf %llu, %d threads\n",
      o.rows, o.trees, o.measure.c_str(), static_cast<unsigned long long>(o.max_depth),
      static_cast<unsigned long long>(o.max_features), static_cast<unsigned long long>(o.max_bins),
      static_cast<unsigned long long>(o.min_sample_leaf), o.threads);
  const TrainingRoot root = build_dataset(columns_of(e), "treatment", "outcome");
  const double dataset_mib = static_cast<double>(o.rows) * 4.0 * 23.0 / (1 << 20);
  UpliftRandomForestModel forest;
  double fit_wall = 0.0;
  double fit_cpu = 0.0;
  for (int i = 0; i < o.repeat; ++i) {
    const std::uint64_t before = status_kib("VmRSS");
    reset_peak();
    const double cpu = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    forest = fit_forest(o, root);
    const double wall = fit_wall = seconds_since(start);
    const double used = fit_cpu = cpu_seconds() - cpu;
    const double extra_mib =
        static_cast<double>(status_kib("VmHWM") - std::min(before, status_kib("VmHWM"))) / 1024;
    double load = 0.0;
    getloadavg(&load, 1);
    std::printf(
        "fit: %.3f s (CPU %.3f s, load %.1f), peak memory of the fit %.1f MiB = %.2f x "
        "dataset, document digest %016llx\n",
        wall, used, load, extra_mib, extra_mib / dataset_mib,
        static_cast<unsigned long long>(fnv1a(write_model_json(forest))));
  }
  if (o.probe) {
    const auto [probe_wall, probe_cpu] = run_probe(o, *root.dataset, forest);
    std::printf("fit / probe: %.2f in wall seconds, %.2f in CPU seconds (last fit)\n",
                fit_wall / probe_wall, fit_cpu / probe_cpu);
  }
  return 0;
}

}  // namespace
}  // namespace quillmarsh

int main(int argc, char** argv) {
  try {
    return quillmarsh::run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fit_limit: %s\n", e.what());
    return 2;
  }
}
