// A node's split search when its rows lie in several places (processes, machines): the
// searcher draws what the search draws, the holders of the rows answer with the sampled
// values and with their counting slots, and the searcher chooses from the summed slots with
// the same candidate and gain code as the search over rows in memory. A node's rows are then
// the concatenation of every holder's part, each part in row order; drawn positions index
// that concatenation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "concurrency/rng.hpp"
#include "uplift_tree/rows.hpp"
#include "uplift_tree/split_search.hpp"

namespace quillmarsh {

// The positions, ascending, of the candidate sample of a feature at a node of n rows (all of
// them when the sample is the whole node), drawn from `rng` exactly as the in-memory search
// draws them from the same stream (site p + 1 of the node's slot).
std::vector<std::uint64_t> candidate_sample_positions(std::uint64_t n, std::uint64_t max_bins,
                                                      Rng& rng);

// The thresholds of a numeric feature from its sampled values (in position order), as the
// in-memory search takes them, without those that can take no row (NaN): the thresholds its
// counting pass and best_candidate use.
std::vector<float> numeric_candidates_of_sample(std::span<const float> sampled,
                                                std::uint64_t max_bins);

// The candidate categories of a string feature at a node of n rows from the codes sampled
// at `positions` (candidate_sample_positions of a stream), drawn from `rng`, a fresh copy of
// that stream: the in-memory search's categories (codes below dictionary_size).
std::vector<std::uint32_t> string_candidates_of_sample(std::uint64_t n,
                                                       std::span<const std::uint64_t> positions,
                                                       std::span<const std::uint32_t> sampled,
                                                       std::size_t dictionary_size,
                                                       std::uint64_t max_bins, Rng& rng);

// ---------------------------------------------------------------------------- a level at once
// A holder answers for all open nodes of many trees in one pass, and the searcher chooses all of
// them in one pass, with the functions above; values, thresholds and categories travel as
// 32-bit words (a float's bits, or a code).

// A holder's column of a feature: float32 values, or the uint32 codes (below
// dictionary_size) of a string feature.
struct HeldColumn {
  std::span<const float> values;
  std::span<const std::uint32_t> codes;
  std::size_t dictionary_size = 0;
  bool strings = false;
};

// A holder's open nodes: node k's rows are rows[ranges[2k], ranges[2k + 1]), in row order.
struct HeldNodes {
  std::span<const RowIndex> rows;
  std::span<const std::uint32_t> ranges;
  std::size_t size() const noexcept { return ranges.size() / 2; }
  std::span<const RowIndex> of(std::size_t k) const;  // Panic when k or its range is not held
};

// The split of held node `node`: its feature and value (a threshold's bits, or a category).
struct HeldSplit {
  std::uint32_t node = 0;
  std::uint32_t feature = 0;
  std::uint32_t value = 0;
};

// The holder's rows of the children of `splits`, in order (each split's left rows, then its
// right rows, each in row order, by the routing rule of the in-memory growth), and their
// ranges (two children per split) in `ranges`. Rows of nodes without a split are dropped.
void route_held_nodes(std::span<const HeldColumn> columns, const HeldNodes& nodes,
                      std::span<const HeldSplit> splits, RowVector& rows,
                      std::vector<std::uint32_t>& ranges);

// What a node's search draws: tree `tree`'s draws under `seed`, searching min(max_features,
// n_features) features with samples of max_bins.
struct DrawSettings {
  std::uint64_t seed = 0;
  std::uint64_t n_features = 0;
  std::uint64_t max_features = 0;
  std::uint64_t max_bins = 0;
};

// A node searched this level: its tree and slot and its n rows among all holders; for a holder,
// the held node of its rows here and the position among the node's rows of the first of them.
struct SearchedNode {
  std::uint64_t tree = 0;
  std::uint64_t slot = 0;
  std::uint64_t n = 0;
  std::uint32_t held = 0;
  std::uint64_t first = 0;
};

// Flat items (one per searched node and feature, in order): words[ends[i - 1], ends[i]).
struct FlatItems {
  std::vector<std::uint32_t> words;
  std::vector<std::uint64_t> ends;
  std::span<const std::uint32_t> item(std::size_t i) const noexcept {
    const std::uint64_t begin = i == 0 ? 0 : ends[i - 1];
    return std::span<const std::uint32_t>(words).subspan(begin, ends[i] - begin);
  }
};

// A searched feature of each node and what goes with it: items in node order, then draw order.
struct LevelItems {
  std::vector<std::uint32_t> features;  // per item
  FlatItems items;
};

// The features each node searches (searched_features) and the positions, ascending, of each
// one's candidate sample among the node's rows (candidate_sample_positions): what every
// holder of the node's rows reads.
LevelItems level_sample_positions(std::span<const SearchedNode> searched,
                                  const DrawSettings& draws);

// A holder's values at each item's positions (level_sample_positions) that fall among its rows
// of the node (`first` on), in position order.
FlatItems held_sample_values(std::span<const HeldColumn> columns, const HeldNodes& nodes,
                             std::span<const SearchedNode> searched, const LevelItems& positions);

// The searcher's side: each item's candidates (numeric_candidates_of_sample /
// string_candidates_of_sample) from the holders' answers (each with held_sample_values'
// items), concatenated in holder order. `strings[f]` / `dictionary_sizes[f]` describe
// feature f.
LevelItems level_candidates(std::span<const SearchedNode> searched,
                            std::span<const FlatItems> answers,
                            std::span<const std::uint8_t> strings,
                            std::span<const std::size_t> dictionary_sizes,
                            const DrawSettings& draws);

// A holder's counting slots of each item's candidates over its rows of the item's node
// (count_numeric_slots / count_string_slots): (candidates + 1) * 2 * groups words per item.
// `item_nodes[i]` is item i's held node, `words` the packed group words of the holder's rows.
FlatItems held_counts(std::span<const HeldColumn> columns, const HeldNodes& nodes,
                      std::span<const std::uint32_t> words,
                      std::span<const std::uint32_t> item_nodes,
                      std::span<const std::uint32_t> item_features, const FlatItems& candidates,
                      std::size_t groups);

// The best split of a node over its items [first, last) (draw order) from every holder's
// slots (held_counts, summed here): the item, its candidate, gain and children, and each
// holder's rows of the left child; item stays `last` when none qualifies. A greater gain wins,
// the earliest item on equal gains, as find_best_split.
struct LevelChoice {
  std::size_t item = 0;
  CandidateChoice choice;
  std::vector<std::uint64_t> held_left;  // per holder
};
LevelChoice choose_node(std::span<const FlatItems> slots, std::size_t first, std::size_t last,
                        std::span<const std::uint8_t> item_prefix, const GroupCounts& node,
                        const SplitSettings& settings);

}  // namespace quillmarsh
