// The group statistics of a grown tree: for every node growth reached, each group's rows and
// positive outcomes, the counts its leaf rates come from. They travel beside the tree record
// (the model file's nodes hold uplift differences only) and give each leaf its per-group rates.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "uplift_tree/records.hpp"

namespace quillmarsh {

struct NodeStats {
  // Groups: the control group and the K treatment groups (counts hold 2 x groups per node).
  std::uint32_t groups = 0;
  // Honest trees: a leaf without rows of a group takes that group's rate from its nearest
  // ancestor with some, then from `base`. Otherwise every leaf's rates are its own (0/0 is
  // NaN), as its uplift.
  bool fallback = false;
  // The counts the root falls back to: the tree's split rows (equal to the root's own counts
  // when the tree is not honest).
  std::vector<std::uint32_t> base;
  // Per reached node in ascending slot order (the root, then both children of every split):
  // rows of group g at [2g], positive outcomes at [2g + 1]. For honest trees the estimation
  // rows, otherwise all of the tree's rows (a row drawn twice counts twice).
  std::vector<std::uint32_t> counts;

  std::size_t node_count() const noexcept {
    return groups == 0 ? 0 : counts.size() / (std::size_t{2} * groups);
  }
};

// The slots growth reached in `tree`, ascending: the root and both children of every split.
std::vector<std::uint64_t> reached_slots(const UpliftTreeModel& tree);

// Per slot of the node array: its index among the reached slots, or -1.
std::vector<std::int64_t> reached_index(const UpliftTreeModel& tree);

// The rate of each group (control first) at the leaf in `slot` by the rule of its leaf's
// uplift: rates[g] - rates[0] is the leaf's uplift of treatment group g, bit for bit.
// `index` is reached_index of the tree.
std::vector<double> leaf_rates(const NodeStats& stats, std::span<const std::int64_t> index,
                               std::uint64_t slot);

// A copy of `tree` whose leaves hold the group rates (groups values) instead of the uplift.
UpliftTreeModel rate_tree(const UpliftTreeModel& tree, const NodeStats& stats);

// Serialised form: per tree, the words [groups, fallback, node count, base..., counts...].
std::vector<std::uint32_t> serialise_stats(std::span<const NodeStats> stats);
// Reads that form back, checking it against the trees (groups of the leaves, node counts);
// panics with what does not fit.
std::vector<NodeStats> parse_stats(std::span<const std::uint32_t> words,
                                   std::span<const UpliftTreeModel> trees);

}  // namespace quillmarsh
