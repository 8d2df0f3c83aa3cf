#include "uplift_tree/split_from_counts.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "concurrency/worker_pool.hpp"
#include "test_support.hpp"
#include "uplift_tree/divergence.hpp"
#include "uplift_tree/split_oracles.hpp"
#include "uplift_tree/split_search.hpp"
#include "uplift_tree/training_data.hpp"

namespace quillmarsh {
namespace {

using testing_data::Floats;
using testing_data::make_columns;
using testing_data::make_node;
using testing_data::words_of;

// The search over the node's rows in memory, and the same node's rows held in `cuts` parts
// (each in row order): the searcher draws the sample positions, the holders answer the
// values and their slots, the searcher sums them and chooses. Same stream, same split.
struct Case {
  const char* what;
  TrainingRoot root;
  std::vector<RowIndex> rows;
  std::vector<std::size_t> cuts;  // where each holder's part of `rows` ends
  SplitSettings settings;
};

// Returns the threshold chosen, NaN when none qualifies.
float expect_same_choice(const Case& c) {
  const Dataset& d = *c.root.dataset;
  const ColumnRef ref = d.column("x");
  const GroupCounts node = group_counts(d, c.rows);
  const double d_parent =
      node_divergence(node, c.settings.eval_func, c.settings.balance, c.rows.size());
  Rng in_memory(77);
  const std::optional<FeatureSplit> expected =
      testing_data::search_feature(d, ref, c.rows, node, d_parent, c.settings, in_memory);

  Rng searcher(77);
  const std::vector<std::uint64_t> positions =
      candidate_sample_positions(c.rows.size(), c.settings.max_bins, searcher);
  std::vector<float> sampled;
  for (const std::uint64_t p : positions) sampled.push_back(d.numeric(ref)[c.rows[p]]);
  const std::vector<float> thresholds = numeric_candidates_of_sample(sampled, c.settings.max_bins);
  std::vector<std::uint32_t> summed((thresholds.size() + 1) * node.size(), 0);
  std::size_t begin = 0;
  for (const std::size_t end : c.cuts) {
    const std::span<const RowIndex> part =
        std::span<const RowIndex>(c.rows).subspan(begin, end - begin);
    std::vector<std::uint32_t> slots;
    count_numeric_slots(ScatteredCells<float>(d.numeric(ref), part), words_of(d, part), thresholds,
                        node.size(), slots);
    for (std::size_t i = 0; i < slots.size(); ++i) summed[i] += slots[i];
    begin = end;
  }
  const std::optional<CandidateChoice> chosen =
      best_candidate(summed, node, c.rows.size(), thresholds.size(), true, d_parent, c.settings);

  EXPECT_EQ(chosen.has_value(), expected.has_value()) << c.what;
  if (!expected || !chosen) return std::nanf("");
  EXPECT_EQ(std::bit_cast<std::uint32_t>(thresholds[chosen->index]),
            std::bit_cast<std::uint32_t>(expected->split_value.as_numeric()))
      << c.what;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(chosen->gain),
            std::bit_cast<std::uint64_t>(expected->gain))
      << c.what;
  EXPECT_EQ(chosen->left, expected->left_counts) << c.what;
  EXPECT_EQ(chosen->right, expected->right_counts) << c.what;
  return thresholds[chosen->index];
}

TEST(SplitFromCounts, PicksTheSplitOfTheSearchOverRowsInMemory) {
  // Hand table: treated rows (group 1) convert below x = 3, control rows above it; x = 3 is
  // the best threshold by hand (it separates the two patterns exactly).
  const Floats x = {1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6, 2, 5};
  const std::vector<std::int32_t> t = {1, 1, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0};
  const std::vector<std::int8_t> y = {1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1};
  Case hand{"hand table", make_node(make_columns({{"x", x}}, t, y)), {}, {}, {}};
  for (RowIndex r = 0; r < x.size(); ++r) hand.rows.push_back(r);
  hand.cuts = {5, 9, 14};
  hand.settings.max_bins = 7;
  hand.settings.min_sample_leaf = 1;
  hand.settings.eval_func = EvalFunc::Euclidean;
  EXPECT_EQ(expect_same_choice(hand), 3.0f);

  // A node larger than its candidate sample (500 x max_bins rows), with NaN and ties, in
  // three uneven parts: the drawn positions must be the in-memory search's.
  Rng data(5);
  testing_data::TestColumns columns = testing_data::random_experiment(data, 2600, 1, 0, 3, true);
  columns.x_names[0] = "x";
  Case sampled{"sampled node", make_node(columns), {}, {700, 710, 0}, {}};
  for (RowIndex r = 0; r < 2600; r += (r % 3 == 0 ? 2U : 1U)) sampled.rows.push_back(r);
  sampled.cuts.back() = sampled.rows.size();
  sampled.settings.max_bins = 2;
  sampled.settings.min_sample_leaf = 10;
  sampled.settings.eval_func = EvalFunc::KL;
  expect_same_choice(sampled);
  sampled.settings.max_bins = 3;
  expect_same_choice(sampled);
}

// A string feature: the categories drawn from the sampled codes alone (reservoir draws after
// the sample's, from the same stream) and the counts of the parts give the in-memory split.
TEST(SplitFromCounts, StringCategoriesFromTheSampleGiveTheSameSplit) {
  Rng data(9);
  const TrainingRoot root = make_node(testing_data::random_experiment(data, 3000, 1, 1, 2, true));
  const Dataset& d = *root.dataset;
  const ColumnRef ref = d.column("s0");
  const StringCodes& column = d.strings(ref);
  std::vector<RowIndex> rows;
  for (RowIndex r = 0; r < 3000; r += 1 + r % 2) rows.push_back(r);
  SplitSettings settings;
  settings.max_bins = 3;  // 1,500 of the node's 2,000 rows sampled
  settings.min_sample_leaf = 5;
  settings.eval_func = EvalFunc::Chi;
  const GroupCounts node = group_counts(d, rows);
  const double d_parent = node_divergence(node, settings.eval_func, false, rows.size());
  Rng in_memory(31);
  const std::optional<FeatureSplit> expected =
      testing_data::search_feature(d, ref, rows, node, d_parent, settings, in_memory);
  ASSERT_TRUE(expected.has_value());

  Rng searcher(31);
  const std::vector<std::uint64_t> positions =
      candidate_sample_positions(rows.size(), settings.max_bins, searcher);
  ASSERT_EQ(positions.size(), 1500u);
  std::vector<std::uint32_t> sampled;
  for (const std::uint64_t p : positions) sampled.push_back(column.codes[rows[p]]);
  Rng again(31);
  const std::vector<std::uint32_t> categories = string_candidates_of_sample(
      rows.size(), positions, sampled, column.dictionary.size(), settings.max_bins, again);
  std::vector<std::uint32_t> summed((categories.size() + 1) * node.size(), 0);
  for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, 1234},
                                   std::pair<std::size_t, std::size_t>{1234, rows.size()}}) {
    const std::span<const RowIndex> part =
        std::span<const RowIndex>(rows).subspan(begin, end - begin);
    std::vector<std::uint32_t> slots;
    count_string_slots(ScatteredCells<std::uint32_t>(column.codes, part), words_of(d, part),
                       categories, column.dictionary.size(), node.size(), slots);
    for (std::size_t i = 0; i < slots.size(); ++i) summed[i] += slots[i];
  }
  const std::optional<CandidateChoice> chosen =
      best_candidate(summed, node, rows.size(), categories.size(), false, d_parent, settings);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(column.dictionary[categories[chosen->index]], expected->split_value.as_str());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(chosen->gain),
            std::bit_cast<std::uint64_t>(expected->gain));
  EXPECT_EQ(chosen->left, expected->left_counts);
}

// The columns of a dataset as a holder of all its rows holds them.
std::vector<HeldColumn> held_columns(const Dataset& d) {
  std::vector<HeldColumn> out;
  for (const std::string& name : d.x_names) {
    const ColumnRef ref = d.column(name);
    HeldColumn c;
    if (ref.is_numeric()) {
      c.values = d.numeric(ref);
    } else {
      c.strings = true;
      c.codes = d.strings(ref).codes;
      c.dictionary_size = d.strings(ref).dictionary.size();
    }
    out.push_back(c);
  }
  return out;
}

// One holder: its part of every node's rows (the rows of [lo, hi)) and its searched nodes.
struct Holder {
  std::vector<RowIndex> rows;
  std::vector<std::uint32_t> ranges;
  std::vector<SearchedNode> searched;
  HeldNodes nodes() const { return HeldNodes{rows, ranges}; }
};

// A level of three trees' nodes (the whole table, every other row, a third of the rows) whose
// rows lie with three holders (one of them holding few): sampled, counted and chosen for the
// whole level at once, each node gets the split of find_best_split over its rows in memory,
// and the holders' routed rows, taken in holder order, are the in-memory partition.
TEST(SplitFromCounts, ALevelHeldInPartsGetsTheInMemorySplitsAndPartitions) {
  Rng data(21);
  const TrainingRoot root = make_node(testing_data::random_experiment(data, 6000, 3, 1, 3, true));
  const Dataset& d = *root.dataset;
  const std::vector<HeldColumn> columns = held_columns(d);
  std::vector<std::uint8_t> strings;
  std::vector<std::size_t> sizes;
  for (const HeldColumn& c : columns) {
    strings.push_back(c.strings ? 1 : 0);
    sizes.push_back(c.dictionary_size);
  }
  SplitSettings settings;
  settings.max_bins = 4;  // samples of 2,000 rows: the two larger nodes are sampled
  settings.min_sample_leaf = 20;
  settings.eval_func = EvalFunc::KL;
  settings.inline_search_cells = std::numeric_limits<std::uint64_t>::max();
  const DrawSettings draws{11, d.x_names.size(), 3, settings.max_bins};
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> trees_slots = {{0, 0}, {1, 2}, {4, 5}};
  std::vector<std::vector<RowIndex>> node_rows(3);
  for (RowIndex r = 0; r < 6000; ++r) {
    node_rows[0].push_back(r);
    if (r % 2 == 0) node_rows[1].push_back(r);
    if (r % 3 == 1) node_rows[2].push_back(r);
  }
  const std::vector<RowIndex> cuts = {0, 2500, 2600, 6000};
  std::vector<Holder> holders(3);
  std::vector<SearchedNode> searched;
  for (std::size_t k = 0; k < 3; ++k) {
    searched.push_back({trees_slots[k].first, trees_slots[k].second, node_rows[k].size(), 0, 0});
    std::uint64_t first = 0;
    for (std::size_t h = 0; h < 3; ++h) {
      Holder& holder = holders[h];
      holder.ranges.push_back(static_cast<std::uint32_t>(holder.rows.size()));
      for (const RowIndex r : node_rows[k]) {
        if (r >= cuts[h] && r < cuts[h + 1]) holder.rows.push_back(r);
      }
      holder.ranges.push_back(static_cast<std::uint32_t>(holder.rows.size()));
      const std::uint64_t held = holder.ranges.back() - holder.ranges[holder.ranges.size() - 2];
      holder.searched.push_back({searched[k].tree, searched[k].slot, searched[k].n,
                                 static_cast<std::uint32_t>(k), first});
      first += held;
    }
  }

  const LevelItems positions = level_sample_positions(searched, draws);
  std::vector<FlatItems> answers;
  for (const Holder& h : holders) {
    answers.push_back(held_sample_values(columns, h.nodes(), h.searched, positions));
  }
  const LevelItems candidates = level_candidates(searched, answers, strings, sizes, draws);
  ASSERT_EQ(candidates.features, positions.features);
  const std::size_t per_node = candidates.features.size() / 3;
  std::vector<std::uint32_t> item_nodes;
  std::vector<std::uint8_t> prefix;
  for (std::size_t i = 0; i < candidates.features.size(); ++i) {
    item_nodes.push_back(static_cast<std::uint32_t>(i / per_node));
    prefix.push_back(strings[candidates.features[i]] != 0 ? 0 : 1);
  }
  std::vector<FlatItems> slots;
  for (const Holder& h : holders) {
    slots.push_back(held_counts(columns, h.nodes(), d.group_outcome, item_nodes,
                                candidates.features, candidates.items, 3));
  }

  WorkerPool pool(1);
  std::size_t splits = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const auto counts = std::make_shared<const GroupCounts>(group_counts(d, node_rows[k]));
    const double d_parent =
        node_divergence(*counts, settings.eval_func, settings.balance, node_rows[k].size());
    auto list = std::make_shared<RowVector>(node_rows[k].begin(), node_rows[k].end());
    const std::vector<std::uint32_t> node_words = words_of(d, node_rows[k]);
    auto words = std::make_shared<RowVector>(node_words.begin(), node_words.end());
    const NodeRows rows{list, 0, list->size(), words};
    const BestSplit expected =
        find_best_split(d.x_names, root.dataset, rows, counts, d_parent, settings, 3, pool,
                        TreeDraws::seeded(draws.seed, searched[k].tree), searched[k].slot);
    const LevelChoice chosen =
        choose_node(slots, k * per_node, (k + 1) * per_node, prefix, *counts, settings);
    ASSERT_EQ(chosen.item == (k + 1) * per_node, expected.gain == kNoGain) << k;
    if (expected.gain == kNoGain) continue;
    ++splits;
    const std::uint32_t feature = candidates.features[chosen.item];
    const std::uint32_t word = candidates.items.item(chosen.item)[chosen.choice.index];
    EXPECT_EQ(d.x_names[feature], expected.col_name) << k;
    if (strings[feature] != 0) {
      EXPECT_EQ(word, expected.category) << k;
    } else {
      EXPECT_EQ(word, std::bit_cast<std::uint32_t>(expected.split_value.as_numeric())) << k;
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(chosen.choice.gain),
              std::bit_cast<std::uint64_t>(expected.gain))
        << k;
    EXPECT_EQ(chosen.choice.left, expected.left_counts) << k;
    EXPECT_EQ(chosen.choice.right, expected.right_counts) << k;

    RowVector scratch;
    const std::size_t middle = partition_rows(d, rows, expected, scratch);
    std::vector<RowIndex> left;
    std::vector<RowIndex> right;
    for (std::size_t h = 0; h < 3; ++h) {
      RowVector routed;
      std::vector<std::uint32_t> ranges;
      const HeldSplit split{static_cast<std::uint32_t>(k), feature, word};
      route_held_nodes(columns, holders[h].nodes(), std::span<const HeldSplit>(&split, 1), routed,
                       ranges);
      ASSERT_EQ(ranges.size(), 4u);
      EXPECT_EQ(ranges[1] - ranges[0], chosen.held_left[h]) << k << " holder " << h;
      left.insert(left.end(), routed.begin() + ranges[0], routed.begin() + ranges[1]);
      right.insert(right.end(), routed.begin() + ranges[2], routed.begin() + ranges[3]);
    }
    EXPECT_EQ(left, std::vector<RowIndex>(list->begin(),
                                          list->begin() + static_cast<std::ptrdiff_t>(middle)))
        << k;
    EXPECT_EQ(right, std::vector<RowIndex>(list->begin() + static_cast<std::ptrdiff_t>(middle),
                                           list->end()))
        << k;
  }
  EXPECT_GE(splits, 2u);  // x0 drives the uplift: the larger nodes split
}

// A holder of some rows counts its node's groups from the packed words alone: a hand table
// (a row listed twice counts twice), and the rows and groups it must refuse.
TEST(SplitFromCounts, GroupCountsFromPackedWords) {
  const std::vector<std::uint32_t> words{pack_group_outcome(0, 1), pack_group_outcome(1, 0),
                                         pack_group_outcome(2, 1), pack_group_outcome(1, 1)};
  const std::vector<RowIndex> rows{0, 1, 3, 3};
  EXPECT_EQ(group_counts(words, 3, rows), (GroupCounts{1, 1, 3, 2, 0, 0}));
  EXPECT_NE(panic_message([&] { group_counts(words, 3, std::vector<RowIndex>{4}); }), "<no panic>");
  EXPECT_EQ(panic_message([&] { group_counts(words, 2, std::vector<RowIndex>{2}); }),
            "a row's group is beyond the groups counted");
}

}  // namespace
}  // namespace quillmarsh
