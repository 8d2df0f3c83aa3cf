// The tables of explain_table.hpp: one walk over the tree's paths gives every leaf its distinct
// features and their z, and each leaf's B(T) for all T comes from the products
// prod over j in T of (z_j + x), built one feature at a time: the coefficient of x^s sums the
// products of z over T \ S for the sets S of size s, which B weighs by the Shapley weight of s.
// The products of z over every T, built the same way, turn B into C.
#include "uplift_random_forest/explain_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

struct Path {
  std::vector<std::int32_t> features;
  std::vector<double> zeros;
};

// Calls on_split(slot, position) at every split below `slot` (position: where its feature
// stands on the path) and on_leaf(slot, path) at every leaf, the path holding the distinct
// features met on the way and their z (1 each when `fraction` is empty).
template <class OnSplit, class OnLeaf>
// NOLINTNEXTLINE(misc-no-recursion): depth is bounded by the tree's, at most 30
void visit_paths(const UpliftTreeModel& tree, std::span<const double> fraction, std::size_t slot,
                 Path& path, OnSplit& on_split, OnLeaf& on_leaf) {
  const TreeNode& node = tree.nodes[slot];
  if (node.is_leaf()) {
    on_leaf(slot, path);
    return;
  }
  const auto found = std::find(path.features.begin(), path.features.end(), node.col_idx);
  const auto position = static_cast<std::size_t>(found - path.features.begin());
  const bool added = found == path.features.end();
  if (added) {
    path.features.push_back(node.col_idx);
    path.zeros.push_back(1.0);
  }
  on_split(slot, position);
  const double kept = path.zeros[position];
  for (const std::size_t child : {2 * slot + 1, 2 * slot + 2}) {
    path.zeros[position] = fraction.empty() ? kept : kept * fraction[child];
    visit_paths(tree, fraction, child, path, on_split, on_leaf);
  }
  path.zeros[position] = kept;
  if (added) {
    path.features.pop_back();
    path.zeros.pop_back();
  }
}

template <class OnSplit, class OnLeaf>
void visit_paths(const UpliftTreeModel& tree, std::span<const double> fraction, OnSplit on_split,
                 OnLeaf on_leaf) {
  if (tree.nodes.empty()) return;
  Path path;
  visit_paths(tree, fraction, 0, path, on_split, on_leaf);
}

// B(T) for every set T of the d features of z, into out (2^d entries; B of all d features is
// never needed and left 0). `poly` is scratch.
void fill_weights(std::span<const double> z, std::span<double> out, std::vector<double>& poly) {
  const std::size_t d = z.size();
  std::fill(out.begin(), out.end(), 0.0);
  if (d == 0) return;
  // The Shapley weight s! (d - s - 1)! / d! of a coalition of s others, as 1 / (d * C(d-1, s)).
  std::array<double, kMaxTableFeatures> weight{};
  double binomial = 1.0;
  for (std::size_t s = 0; s < d; ++s) {
    weight[s] = 1.0 / (static_cast<double>(d) * binomial);
    binomial = binomial * static_cast<double>(d - 1 - s) / static_cast<double>(s + 1);
  }
  const std::size_t width = d + 1;
  const std::size_t sets = std::size_t{1} << d;
  poly.assign(sets * width, 0.0);
  poly[0] = 1.0;
  out[0] = weight[0];
  for (std::size_t set = 1; set < sets; ++set) {
    const std::size_t smaller = set & (set - 1);  // without its lowest feature j
    const double zj = z[static_cast<std::size_t>(std::countr_zero(set))];
    const auto size = static_cast<std::size_t>(std::popcount(set));
    const double* before = poly.data() + smaller * width;
    double* now = poly.data() + set * width;
    now[0] = zj * before[0];
    for (std::size_t s = 1; s <= size; ++s) now[s] = zj * before[s] + before[s - 1];
    if (size == d) continue;
    double total = 0.0;
    for (std::size_t s = 0; s <= size; ++s) total += weight[s] * now[s];
    out[set] = total;
  }
}

// B(T) into C(T) = R(T) B(T), R(T) the product of z over the features outside T; `products`
// is scratch.
void scale_weights(std::span<const double> z, std::span<double> out,
                   std::vector<double>& products) {
  const std::size_t sets = out.size();
  products.assign(sets, 1.0);
  for (std::size_t set = 1; set < sets; ++set) {
    products[set] = products[set & (set - 1)] * z[static_cast<std::size_t>(std::countr_zero(set))];
  }
  for (std::size_t set = 0; set < sets; ++set) out[set] *= products[(sets - 1) ^ set];
}

}  // namespace

PathShape path_shape(const UpliftTreeModel& tree) {
  PathShape shape;
  std::size_t entries = 0;
  visit_paths(
      tree, {}, [](std::size_t, std::size_t) {},
      [&](std::size_t, const Path& path) {
        const std::size_t d = path.features.size();
        shape.max_features = std::max(shape.max_features, d);
        const auto dd = static_cast<double>(d);
        shape.walk_work += dd * dd;
        if (d > kMaxTableFeatures) return;
        entries += std::size_t{1} << d;
        shape.build_work += static_cast<double>(std::size_t{1} << d) * dd;
      });
  shape.entries = shape.max_features <= kMaxTableFeatures ? entries : 0;
  return shape;
}

PathTable path_table(const UpliftTreeModel& tree, std::span<const double> fraction) {
  PathTable table;
  table.bit.assign(tree.nodes.size(), 0);
  table.leaf.assign(tree.nodes.size(), -1);
  std::vector<double> poly;
  std::vector<double> products;
  visit_paths(
      tree, fraction,
      [&](std::size_t slot, std::size_t position) {
        table.bit[slot] = static_cast<std::uint8_t>(position);
      },
      [&](std::size_t slot, const Path& path) {
        const std::size_t d = path.features.size();
        if (d > kMaxTableFeatures) {
          panic("explain: a path tests " + std::to_string(d) + " features, more than a table " +
                "holds (" + std::to_string(kMaxTableFeatures) + ")");
        }
        const bool scaled =
            std::all_of(path.zeros.begin(), path.zeros.end(), [](double z) { return z > 0.0; });
        table.leaf[slot] = static_cast<std::int32_t>(table.leaves.size());
        table.leaves.push_back(PathLeaf{
            static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(table.features.size()),
            static_cast<std::uint32_t>(d), scaled, table.weights.size()});
        table.features.insert(table.features.end(), path.features.begin(), path.features.end());
        table.zeros.insert(table.zeros.end(), path.zeros.begin(), path.zeros.end());
        for (const double z : path.zeros) table.odds.push_back(scaled ? (1.0 - z) / z : 0.0);
        table.weights.resize(table.weights.size() + (std::size_t{1} << d));
        const std::span<double> weights =
            std::span<double>(table.weights).last(std::size_t{1} << d);
        fill_weights(path.zeros, weights, poly);
        if (scaled) scale_weights(path.zeros, weights, products);
      });
  return table;
}

namespace {

// A leaf's value, held in registers where its width is known at compile time (kWidth > 0).
template <std::size_t kWidth>
struct LeafValue {
  std::array<double, kWidth> v;
  LeafValue(const double* value, std::size_t /*width*/) {
    std::copy(value, value + kWidth, v.begin());
  }
  std::size_t width() const { return kWidth; }
  void add(double share, double* target) const {
    for (std::size_t k = 0; k < kWidth; ++k) target[k] += share * v[k];
  }
};

template <>
struct LeafValue<0> {
  const double* v;
  std::size_t n;
  LeafValue(const double* value, std::size_t width) : v(value), n(width) {}
  std::size_t width() const { return n; }
  void add(double share, double* target) const {
    for (std::size_t k = 0; k < n; ++k) target[k] += share * v[k];
  }
};

// Shares from C: -C(m) to the features the row does not follow, (1 - z_i) / z_i C(m \ {i}) to
// the others.
template <class Value>
void add_scaled(const PathTable& table, const PathLeaf& leaf, std::uint32_t agree,
                const Value& value, double* phi) {
  const std::int32_t* features = table.features.data() + leaf.first;
  const double* c = table.weights.data() + leaf.table;
  const double* odds = table.odds.data() + leaf.first;
  // shares[0]: a feature the row does not follow; unused when it follows every feature
  std::array<double, 2> shares{-c[agree], 0.0};
  for (std::uint32_t i = 0; i < leaf.size; ++i) {
    const std::uint32_t bit = 1u << i;
    shares[1] = odds[i] * c[agree ^ bit];
    const double share = shares[agree >> i & 1u];  // a look-up: the bits follow no pattern
    value.add(share, phi + static_cast<std::size_t>(features[i]) * value.width());
  }
}

// Shares from B: R is the product of z over the features the row does not follow.
template <class Value>
void add_unscaled(const PathTable& table, const PathLeaf& leaf, std::uint32_t agree,
                  const Value& value, double* phi) {
  const std::uint32_t all = (1u << leaf.size) - 1;
  const std::int32_t* features = table.features.data() + leaf.first;
  const double* z = table.zeros.data() + leaf.first;
  const double* b = table.weights.data() + leaf.table;
  double rest = 1.0;
  for (std::uint32_t i = 0; i < leaf.size; ++i) {
    if ((agree >> i & 1u) == 0) rest *= z[i];
  }
  if (rest == 0.0) return;
  const double missed = agree == all ? 0.0 : -rest * b[agree];
  for (std::uint32_t i = 0; i < leaf.size; ++i) {
    const double share =
        (agree >> i & 1u) != 0 ? (1.0 - z[i]) * rest * b[agree ^ (1u << i)] : missed;
    value.add(share, phi + static_cast<std::size_t>(features[i]) * value.width());
  }
}

template <class Value>
void add_rows(const PathTable& table, const PathLeaf& leaf, std::span<const std::uint32_t> agree,
              const Value& value, double* phi, std::size_t stride) {
  const std::uint32_t all = (1u << leaf.size) - 1;
  if (leaf.scaled) {
    for (std::size_t j = 0; j < agree.size(); ++j) {
      if (agree[j] != kCutOff) add_scaled(table, leaf, agree[j] & all, value, phi + j * stride);
    }
    return;
  }
  for (std::size_t j = 0; j < agree.size(); ++j) {
    if (agree[j] != kCutOff) add_unscaled(table, leaf, agree[j] & all, value, phi + j * stride);
  }
}

}  // namespace

void add_leaf_shares(const PathTable& table, const PathLeaf& leaf,
                     std::span<const std::uint32_t> agree, const double* value, std::size_t width,
                     double* phi, std::size_t stride) {
  if (leaf.size == 0) return;
  if (width == 2) {  // two arms, the common case, with the value in registers
    add_rows(table, leaf, agree, LeafValue<2>(value, width), phi, stride);
  } else {
    add_rows(table, leaf, agree, LeafValue<0>(value, width), phi, stride);
  }
}

}  // namespace quillmarsh
