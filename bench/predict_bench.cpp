// Prediction speed of the core, without the Python boundary: 100 trees of depth 8 trained on
// 20,000 rows of a synthetic experiment, then 1,000,000 rows of 22 features (20 numeric, 2
// texts) predicted by the class's paths (rows of cells, tree jobs on 2 threads) and by
// predict_columns (columns, blocks of rows), with the packing of the forest timed apart.
//
//   cmake -S . -B build/bench -G Ninja -DQUILLMARSH_BUILD_BENCH=ON && cmake --build build/bench
//   build/bench/bench/predict_bench [--benchmark_filter=Columns]
//
// Time is wall time, CPU the process's CPU time over all its threads. Targets (2 threads): the
// class's walk at most 0.5 s, predict_columns well under that. Run on an idle machine.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "uplift_random_forest/forest_predict.hpp"
#include "uplift_random_forest/train.hpp"

namespace quillmarsh {
namespace {

constexpr std::size_t kNumeric = 20;
constexpr std::size_t kTexts = 2;
const std::vector<std::vector<std::string>> kLevels = {
    {"red", "green", "blue", "amber"}, {"north", "south", "east", "west", "centre"}};

// A randomised experiment: control and two treatments, uplift driven by x0, x1 and cat0.
struct Experiment {
  std::vector<std::vector<float>> numbers;        // [feature][row]
  std::vector<std::vector<std::uint32_t>> codes;  // [text feature][row]
  std::vector<std::int32_t> treatment;
  std::vector<std::int8_t> outcome;
};

Experiment experiment(std::size_t rows, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> normal;
  std::uniform_real_distribution<float> uniform(0.0f, 10.0f);
  std::uniform_real_distribution<double> unit;
  Experiment e;
  e.numbers.resize(kNumeric);
  for (std::size_t j = 0; j < kNumeric; ++j) {
    for (std::size_t r = 0; r < rows; ++r) {
      e.numbers[j].push_back(j % 3 == 2 ? uniform(rng) : normal(rng));
    }
  }
  e.codes.resize(kTexts);
  for (std::size_t j = 0; j < kTexts; ++j) {
    for (std::size_t r = 0; r < rows; ++r) {
      e.codes[j].push_back(static_cast<std::uint32_t>(rng() % kLevels[j].size()));
    }
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const auto arm = static_cast<std::int32_t>(rng() % 3);
    double p = 1.0 / (1.0 + std::exp(1.0 - 0.5 * std::tanh(e.numbers[19][r])));
    if (arm != 0) {
      const double tau = 0.5 * (e.numbers[arm == 1 ? 0 : 3][r] > 0.0f) +
                         0.3 * std::tanh(e.numbers[1][r]) + 0.2 * (e.codes[0][r] == 1);
      p = std::clamp(p + 0.12 * (tau - 0.25), 0.02, 0.98);
    }
    e.treatment.push_back(arm);
    e.outcome.push_back(static_cast<std::int8_t>(unit(rng) < p));
  }
  return e;
}

class SilentSink : public ProgressSink {
 public:
  void print_line(std::string /*line*/) override {}
};

struct Setup {
  UpliftRandomForestModel forest;
  std::shared_ptr<const PackedForest> packed;
  Experiment held_out;
  RowBatch rows;
  std::vector<ColumnInput> columns;
};

const Setup& setup() {
  static const Setup* const kSetup = [] {
    auto* s = new Setup;
    s->forest = UpliftRandomForestModel{.n_estimators = 100,
                                        .max_features = 10,
                                        .max_depth = 8,
                                        .min_sample_leaf = 5,
                                        .eval_func = "ED",
                                        .max_bins = 10,
                                        .treatment_col = {},
                                        .outcome_col = {},
                                        .balance = false,
                                        .regularization = false,
                                        .alpha = 0.9,
                                        .trees = {}};
    const Experiment train = experiment(20000, 1);
    SilentSink sink;
    fit(
        s->forest,
        [&] {
          TrainingColumns c;
          for (std::size_t j = 0; j < kNumeric; ++j) {
            c.x_names.push_back(std::string("x").append(std::to_string(j)));
            c.features.emplace_back(NumericFeature{train.numbers[j]});
          }
          for (std::size_t j = 0; j < kTexts; ++j) {
            c.x_names.push_back(std::string("cat").append(std::to_string(j)));
            c.features.emplace_back(StringFeature{train.codes[j], kLevels[j]});
          }
          c.treatment = train.treatment;
          c.outcome = train.outcome;
          return c;
        },
        "treatment", "outcome", 2, sink);
    s->packed = std::make_shared<const PackedForest>(s->forest.trees);
    s->held_out = experiment(1000000, 2);
    const Experiment& h = s->held_out;
    // As the binding converts rows: one dictionary of the distinct texts of the call.
    std::vector<std::string> texts;
    for (const std::vector<std::string>& levels : kLevels) {
      texts.insert(texts.end(), levels.begin(), levels.end());
    }
    for (std::size_t r = 0; r < h.treatment.size(); ++r) {
      s->rows.begin_row();
      for (std::size_t j = 0; j < kNumeric; ++j) s->rows.add_number(h.numbers[j][r]);
      for (std::size_t j = 0; j < kTexts; ++j) {
        s->rows.add_text_code(static_cast<std::uint32_t>(j * kLevels[0].size()) + h.codes[j][r]);
      }
    }
    s->rows.set_texts(std::move(texts));
    for (std::size_t j = 0; j < kNumeric; ++j) {
      s->columns.push_back({h.numbers[j].data(), nullptr, {}});
    }
    for (std::size_t j = 0; j < kTexts; ++j) {
      s->columns.push_back({nullptr, h.codes[j].data(), kLevels[j]});
    }
    return s;
  }();
  return *kSetup;
}

void report(benchmark::State& state, std::size_t rows) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}

void BM_PackForest(benchmark::State& state) {
  const Setup& s = setup();
  for (auto _ : state) benchmark::DoNotOptimize(PackedForest(s.forest.trees));
}

// The class's predict on rows of cells, from the batch to the divided table.
void BM_ClassPredict(benchmark::State& state) {
  const Setup& s = setup();
  for (auto _ : state) {
    state.PauseTiming();
    RowBatch rows = s.rows;  // predict consumes its rows
    state.ResumeTiming();
    benchmark::DoNotOptimize(
        predict(s.forest, s.packed, std::move(rows), static_cast<std::int32_t>(state.range(0))));
  }
  report(state, s.rows.size());
}

void BM_PredictColumns(benchmark::State& state) {
  const Setup& s = setup();
  const std::size_t rows = s.held_out.treatment.size();
  std::vector<double> out(rows * 2);
  std::vector<double> spread(state.range(1) != 0 ? out.size() : 0);
  for (auto _ : state) {
    predict_columns(*s.packed, s.columns, rows, 100.0, out, spread,
                    static_cast<std::size_t>(state.range(0)), nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  report(state, rows);
}

BENCHMARK(BM_PackForest)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ClassPredict)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PredictColumns)
    ->ArgNames({"threads", "std"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace quillmarsh

BENCHMARK_MAIN();
