// Leaf rates from node statistics, and the statistics' serialised form.
#include "uplift_tree/node_stats.hpp"

#include <limits>
#include <string>

#include "common/panic.hpp"
#include "uplift_tree/dataset.hpp"

namespace quillmarsh {
namespace {

double rate(std::span<const std::uint32_t> c, std::size_t g) {
  return static_cast<double>(static_cast<std::int32_t>(c[2 * g + 1])) /
         static_cast<double>(static_cast<std::int32_t>(c[2 * g]));
}

}  // namespace

std::vector<std::uint64_t> reached_slots(const UpliftTreeModel& tree) {
  std::vector<std::uint64_t> slots;
  std::vector<bool> reached(tree.nodes.size(), false);
  for (std::uint64_t s = 0; s < tree.nodes.size(); ++s) {
    reached[s] = s == 0 || (reached[(s - 1) / 2] && !tree.nodes[(s - 1) / 2].is_leaf());
    if (reached[s]) slots.push_back(s);
  }
  return slots;
}

std::vector<std::int64_t> reached_index(const UpliftTreeModel& tree) {
  std::vector<std::int64_t> index(tree.nodes.size(), -1);
  const std::vector<std::uint64_t> slots = reached_slots(tree);
  for (std::size_t i = 0; i < slots.size(); ++i) index[slots[i]] = static_cast<std::int64_t>(i);
  return index;
}

std::vector<double> leaf_rates(const NodeStats& stats, std::span<const std::int64_t> index,
                               std::uint64_t slot) {
  const std::size_t width = 2 * std::size_t{stats.groups};
  std::vector<double> rates(stats.groups, std::numeric_limits<double>::quiet_NaN());
  for (std::size_t g = 0; g < stats.groups; ++g) {
    for (std::uint64_t s = slot;; s = (s - 1) / 2) {
      const auto at = static_cast<std::size_t>(index[s]) * width;
      const std::span<const std::uint32_t> c(stats.counts.data() + at, width);
      if (!stats.fallback || c[2 * g] > 0) {
        rates[g] = rate(c, g);
        break;
      }
      if (s == 0) {
        if (stats.base[2 * g] > 0) rates[g] = rate(stats.base, g);
        break;
      }
    }
  }
  return rates;
}

UpliftTreeModel rate_tree(const UpliftTreeModel& tree, const NodeStats& stats) {
  UpliftTreeModel out = tree;
  const std::vector<std::int64_t> index = reached_index(tree);
  for (std::uint64_t s = 0; s < out.nodes.size(); ++s) {
    if (index[s] >= 0 && out.nodes[s].is_leaf()) out.nodes[s].prob = leaf_rates(stats, index, s);
  }
  return out;
}

std::vector<std::uint32_t> serialise_stats(std::span<const NodeStats> stats) {
  std::vector<std::uint32_t> words;
  for (const NodeStats& s : stats) {
    words.push_back(s.groups);
    words.push_back(s.fallback ? 1 : 0);
    words.push_back(static_cast<std::uint32_t>(s.node_count()));
    words.insert(words.end(), s.base.begin(), s.base.end());
    words.insert(words.end(), s.counts.begin(), s.counts.end());
  }
  return words;
}

std::vector<NodeStats> parse_stats(std::span<const std::uint32_t> words,
                                   std::span<const UpliftTreeModel> trees) {
  std::vector<NodeStats> out;
  std::size_t at = 0;
  const auto fail = [&](const std::string& what) {
    panic("node statistics of tree " + std::to_string(out.size()) + ": " + what);
  };
  for (const UpliftTreeModel& tree : trees) {
    if (words.size() - at < 3) fail("the data ends early");
    NodeStats s;
    s.groups = words[at];
    s.fallback = words[at + 1] != 0;
    const std::uint64_t nodes = words[at + 2];
    at += 3;
    if (s.groups < 2 || words[at - 2] > 1) fail("malformed header");
    if (nodes != reached_slots(tree).size()) {
      fail(std::to_string(nodes) + " nodes recorded, the tree has " +
           std::to_string(reached_slots(tree).size()));
    }
    for (const TreeNode& node : tree.nodes) {
      if (node.is_leaf() && node.prob.size() + 1 != s.groups) fail("groups differ from the leaves");
    }
    const std::size_t width = 2 * std::size_t{s.groups};
    if ((words.size() - at) / width < nodes + 1) fail("the data ends early");
    s.base.assign(words.begin() + static_cast<std::ptrdiff_t>(at),
                  words.begin() + static_cast<std::ptrdiff_t>(at + width));
    at += width;
    s.counts.assign(words.begin() + static_cast<std::ptrdiff_t>(at),
                    words.begin() + static_cast<std::ptrdiff_t>(at + nodes * width));
    at += nodes * width;
    for (const std::vector<std::uint32_t>* c : {&s.base, &s.counts}) {
      for (std::size_t i = 0; i < c->size(); i += 2) {
        if ((*c)[i + 1] > (*c)[i] || (*c)[i] > kMaxRows) fail("impossible counts");
      }
    }
    out.push_back(std::move(s));
  }
  if (at != words.size()) panic("node statistics hold more trees than the forest");
  return out;
}

}  // namespace quillmarsh
