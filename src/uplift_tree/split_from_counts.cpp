// The searcher's side of a split search over rows held elsewhere: the same sampling and
// quantile code as the search over rows in memory.
#include "uplift_tree/split_from_counts.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "common/panic.hpp"
#include "uplift_tree/draws.hpp"
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

std::span<const RowIndex> HeldNodes::of(std::size_t k) const {
  if (k >= size())
    panic("held node " + std::to_string(k) + " is beyond the " + std::to_string(size()) +
          " nodes held");
  const std::uint32_t begin = ranges[2 * k];
  const std::uint32_t end = ranges[2 * k + 1];
  if (begin > end || end > rows.size()) panic("a held node's range lies outside its rows");
  return rows.subspan(begin, end - begin);
}

namespace {

const HeldColumn& column_at(std::span<const HeldColumn> columns, std::uint64_t feature) {
  if (feature >= columns.size()) panic("a feature is beyond the columns held");
  return columns[feature];
}

// Every row index below the column's length.
void check_rows(const HeldColumn& column, std::span<const RowIndex> rows) {
  const std::size_t length = column.strings ? column.codes.size() : column.values.size();
  for (const RowIndex r : rows) {
    if (r >= length)
      panic("a held row is beyond its column's " + std::to_string(length) + " values");
  }
}

// The column's word of row r: a value's bits, or a code.
std::uint32_t word_at(const HeldColumn& column, RowIndex r) noexcept {
  return column.strings ? column.codes[r] : std::bit_cast<std::uint32_t>(column.values[r]);
}

// Appends the node's rows that go left of the split, then those that go right, each in row
// order; returns how many went left. `left` is working storage.
std::size_t append_split(const HeldColumn& column, std::span<const RowIndex> node,
                         std::uint32_t value, RowVector& rows, std::vector<std::uint8_t>& left) {
  left.resize(node.size());
  if (column.strings) {
    for (std::size_t i = 0; i < node.size(); ++i)
      left[i] = category_goes_left(column.codes[node[i]], value) ? 1 : 0;
  } else {
    const float threshold = std::bit_cast<float>(value);
    for (std::size_t i = 0; i < node.size(); ++i)
      left[i] = numeric_goes_left(column.values[node[i]], threshold) ? 1 : 0;
  }
  const std::size_t begin = rows.size();
  rows.resize(begin + node.size());
  RowIndex* out = rows.data() + begin;
  std::size_t n_left = 0;
  for (std::size_t i = 0; i < node.size(); ++i) {
    out[n_left] = node[i];
    n_left += left[i];
  }
  std::size_t k = n_left;
  for (std::size_t i = 0; i < node.size(); ++i) {
    if (left[i] == 0) out[k++] = node[i];
  }
  return n_left;
}

std::uint32_t narrow(std::size_t at) {
  if (at > std::numeric_limits<std::uint32_t>::max()) panic("more held rows than a range holds");
  return static_cast<std::uint32_t>(at);
}

}  // namespace

void route_held_nodes(std::span<const HeldColumn> columns, const HeldNodes& nodes,
                      std::span<const HeldSplit> splits, RowVector& rows,
                      std::vector<std::uint32_t>& ranges) {
  rows.clear();
  ranges.clear();
  std::size_t total = 0;
  for (const HeldSplit& split : splits) total += nodes.of(split.node).size();
  rows.reserve(total);
  std::vector<std::uint8_t> left;
  for (const HeldSplit& split : splits) {
    const std::span<const RowIndex> node = nodes.of(split.node);
    const HeldColumn& column = column_at(columns, split.feature);
    check_rows(column, node);
    const std::size_t begin = rows.size();
    const std::size_t middle = begin + append_split(column, node, split.value, rows, left);
    ranges.insert(ranges.end(),
                  {narrow(begin), narrow(middle), narrow(middle), narrow(rows.size())});
  }
}

LevelItems level_sample_positions(std::span<const SearchedNode> searched,
                                  const DrawSettings& draws) {
  LevelItems out;
  for (const SearchedNode& s : searched) {
    if (s.n > std::numeric_limits<std::uint32_t>::max())
      panic("a node holds more rows than a row index");
    const TreeDraws tree = TreeDraws::seeded(draws.seed, s.tree);
    for (const std::uint64_t f :
         searched_features(tree, s.slot, draws.n_features, draws.max_features)) {
      TreeDraws::Site site = tree.at(s.slot, f + 1);
      for (const std::uint64_t p : candidate_sample_positions(s.n, draws.max_bins, site.rng()))
        out.items.words.push_back(static_cast<std::uint32_t>(p));
      out.items.ends.push_back(out.items.words.size());
      out.features.push_back(static_cast<std::uint32_t>(f));
    }
  }
  return out;
}

FlatItems held_sample_values(std::span<const HeldColumn> columns, const HeldNodes& nodes,
                             std::span<const SearchedNode> searched, const LevelItems& positions) {
  if (searched.empty() ? !positions.features.empty()
                       : positions.features.size() % searched.size() != 0)
    panic("the positions are not those of the searched nodes");
  const std::size_t per_node = searched.empty() ? 0 : positions.features.size() / searched.size();
  FlatItems out;
  for (std::size_t i = 0; i < positions.features.size(); ++i) {
    const SearchedNode& s = searched[i / per_node];
    const std::span<const RowIndex> node = nodes.of(s.held);
    const HeldColumn& column = column_at(columns, positions.features[i]);
    check_rows(column, node);
    const std::span<const std::uint32_t> at = positions.items.item(i);
    const auto lo = std::lower_bound(at.begin(), at.end(), s.first);
    const auto hi = std::lower_bound(lo, at.end(), s.first + node.size());
    for (auto p = lo; p != hi; ++p) out.words.push_back(word_at(column, node[*p - s.first]));
    out.ends.push_back(out.words.size());
  }
  return out;
}

namespace {

// Item i's words from every answer, in holder order.
std::vector<std::uint32_t> gathered_item(std::span<const FlatItems> answers, std::size_t i) {
  std::vector<std::uint32_t> words;
  for (const FlatItems& a : answers) {
    if (i >= a.ends.size()) panic("an answer holds fewer items than were asked for");
    const std::span<const std::uint32_t> part = a.item(i);
    words.insert(words.end(), part.begin(), part.end());
  }
  return words;
}

std::vector<std::uint32_t> candidates_of(const SearchedNode& s, std::uint64_t feature,
                                         std::span<const std::uint32_t> sampled, bool strings,
                                         std::size_t dictionary_size, const DrawSettings& draws) {
  const TreeDraws tree = TreeDraws::seeded(draws.seed, s.tree);
  if (!strings) {
    std::vector<float> values(sampled.size());
    std::transform(sampled.begin(), sampled.end(), values.begin(),
                   [](std::uint32_t w) { return std::bit_cast<float>(w); });
    const std::vector<float> thresholds = numeric_candidates_of_sample(values, draws.max_bins);
    std::vector<std::uint32_t> out(thresholds.size());
    std::transform(thresholds.begin(), thresholds.end(), out.begin(),
                   [](float t) { return std::bit_cast<std::uint32_t>(t); });
    return out;
  }
  TreeDraws::Site drawn = tree.at(s.slot, feature + 1);
  const std::vector<std::uint64_t> positions =
      candidate_sample_positions(s.n, draws.max_bins, drawn.rng());
  if (positions.size() != sampled.size()) panic("the holders sampled another number of values");
  TreeDraws::Site again = tree.at(s.slot, feature + 1);
  return string_candidates_of_sample(s.n, positions, sampled, dictionary_size, draws.max_bins,
                                     again.rng());
}

}  // namespace

LevelItems level_candidates(std::span<const SearchedNode> searched,
                            std::span<const FlatItems> answers,
                            std::span<const std::uint8_t> strings,
                            std::span<const std::size_t> dictionary_sizes,
                            const DrawSettings& draws) {
  LevelItems out;
  std::size_t item = 0;
  for (const SearchedNode& s : searched) {
    const TreeDraws tree = TreeDraws::seeded(draws.seed, s.tree);
    for (const std::uint64_t f :
         searched_features(tree, s.slot, draws.n_features, draws.max_features)) {
      if (f >= strings.size() || f >= dictionary_sizes.size()) panic("a feature is undescribed");
      const std::vector<std::uint32_t> c = candidates_of(
          s, f, gathered_item(answers, item++), strings[f] != 0, dictionary_sizes[f], draws);
      out.features.push_back(static_cast<std::uint32_t>(f));
      out.items.words.insert(out.items.words.end(), c.begin(), c.end());
      out.items.ends.push_back(out.items.words.size());
    }
  }
  return out;
}

FlatItems held_counts(std::span<const HeldColumn> columns, const HeldNodes& nodes,
                      std::span<const std::uint32_t> words,
                      std::span<const std::uint32_t> item_nodes,
                      std::span<const std::uint32_t> item_features, const FlatItems& candidates,
                      std::size_t groups) {
  if (item_nodes.size() != item_features.size() || item_nodes.size() != candidates.ends.size())
    panic("the items' nodes, features and candidates differ in number");
  FlatItems out;
  std::vector<std::uint32_t> node_words;
  std::vector<std::uint32_t> slots;
  std::vector<float> thresholds;
  std::size_t gathered_for = std::numeric_limits<std::size_t>::max();
  for (std::size_t i = 0; i < item_nodes.size(); ++i) {
    const std::span<const RowIndex> node = nodes.of(item_nodes[i]);
    const HeldColumn& column = column_at(columns, item_features[i]);
    check_rows(column, node);
    if (item_nodes[i] != gathered_for) {  // the packed words of the node's rows, once a node
      gathered_for = item_nodes[i];
      node_words.resize(node.size());
      for (std::size_t k = 0; k < node.size(); ++k) {
        if (node[k] >= words.size()) panic("a held row is beyond the holder's words");
        node_words[k] = words[node[k]];
      }
    }
    const std::span<const std::uint32_t> c = candidates.item(i);
    if (c.empty()) {  // nothing to count: the item can choose no split
      out.ends.push_back(out.words.size());
      continue;
    }
    if (column.strings) {
      count_string_slots(ScatteredCells<std::uint32_t>(column.codes, node), node_words, c,
                         column.dictionary_size, 2 * groups, slots);
    } else {
      thresholds.resize(c.size());
      std::transform(c.begin(), c.end(), thresholds.begin(),
                     [](std::uint32_t w) { return std::bit_cast<float>(w); });
      count_numeric_slots(ScatteredCells<float>(column.values, node), node_words, thresholds,
                          2 * groups, slots);
    }
    out.words.insert(out.words.end(), slots.begin(), slots.end());
    out.ends.push_back(out.words.size());
  }
  return out;
}

namespace {

// The rows of the left child of candidate `index` in one holder's slots.
std::uint64_t left_rows(std::span<const std::uint32_t> slots, std::size_t g2, std::size_t index,
                        bool prefix) {
  std::uint64_t n = 0;
  for (std::size_t j = prefix ? 0 : index; j <= index; ++j) {
    for (std::size_t i = 0; i < g2; i += 2) n += slots[j * g2 + i];
  }
  return n;
}

}  // namespace

LevelChoice choose_node(std::span<const FlatItems> slots, std::size_t first, std::size_t last,
                        std::span<const std::uint8_t> item_prefix, const GroupCounts& node,
                        const SplitSettings& settings) {
  const std::size_t g2 = node.size();
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < g2; i += 2) n += static_cast<std::uint32_t>(node[i]);
  const double d_parent = node_divergence(node, settings.eval_func, settings.balance, n);
  LevelChoice best;
  best.item = last;
  std::vector<std::uint32_t> summed;
  for (std::size_t item = first; item < last; ++item) {
    if (item >= item_prefix.size()) panic("an item's kind is not given");
    summed.clear();
    for (const FlatItems& holder : slots) {
      const std::span<const std::uint32_t> part = holder.item(item);
      if (summed.empty()) summed.assign(part.begin(), part.end());
      if (part.size() != summed.size()) panic("the holders' slots differ in size");
      if (&holder != slots.data()) {
        for (std::size_t k = 0; k < part.size(); ++k) summed[k] += part[k];
      }
    }
    if (summed.size() < g2) continue;  // no candidate: a lone slot
    const std::size_t counted = summed.size() / g2 - 1;
    std::optional<CandidateChoice> c =
        best_candidate(summed, node, n, counted, item_prefix[item] != 0, d_parent, settings);
    if (!c || !(c->gain > best.choice.gain)) continue;
    best.item = item;
    best.choice = std::move(*c);
  }
  if (best.item == last) return best;
  for (const FlatItems& holder : slots) {
    best.held_left.push_back(
        left_rows(holder.item(best.item), g2, best.choice.index, item_prefix[best.item] != 0));
  }
  return best;
}

}  // namespace quillmarsh
