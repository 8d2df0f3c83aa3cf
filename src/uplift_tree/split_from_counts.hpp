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

}  // namespace quillmarsh
