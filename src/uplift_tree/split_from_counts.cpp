// The searcher's side of a split search over rows held elsewhere: the same sampling and
// quantile code as the search over rows in memory.
#include "uplift_tree/split_from_counts.hpp"

#include "uplift_tree/routing.hpp"
#include "uplift_tree/split_candidates.hpp"

namespace quillmarsh {
namespace {

// Cells that are only counted: the sample's positions depend on the node's size alone.
struct PositionsOnly {
  std::uint64_t n;
  std::size_t size() const noexcept { return static_cast<std::size_t>(n); }
  void prefetch(std::size_t /*i*/) const noexcept {}
};

}  // namespace

std::vector<std::uint64_t> candidate_sample_positions(std::uint64_t n, std::uint64_t max_bins,
                                                      Rng& rng) {
  std::vector<std::uint64_t> positions;
  if (max_bins < 2) return positions;  // numeric_candidates draws nothing then
  CandidateScratch scratch;
  const std::uint64_t m = candidate_sample_size(n, max_bins);
  positions.reserve(static_cast<std::size_t>(m));
  for_each_sampled(PositionsOnly{n}, m, rng, scratch,
                   [&](std::uint64_t i) { positions.push_back(i); });
  return positions;
}

std::vector<float> numeric_candidates_of_sample(std::span<const float> sampled,
                                                std::uint64_t max_bins) {
  CandidateScratch scratch;
  scratch.keys.resize(sampled.size());
  for (std::size_t i = 0; i < sampled.size(); ++i) scratch.keys[i] = sample_key(sampled[i]);
  std::vector<float> thresholds = quantiles_of_keys(scratch, max_bins);
  thresholds.resize(thresholds_taking_rows(thresholds));
  return thresholds;
}

std::vector<std::uint32_t> string_candidates_of_sample(std::uint64_t n,
                                                       std::span<const std::uint64_t> positions,
                                                       std::span<const std::uint32_t> sampled,
                                                       std::size_t dictionary_size,
                                                       std::uint64_t max_bins, Rng& rng) {
  CandidateScratch scratch;
  return string_candidates(
      SampledCells<std::uint32_t>(static_cast<std::size_t>(n), positions, sampled), dictionary_size,
      max_bins, rng, scratch);
}

}  // namespace quillmarsh
