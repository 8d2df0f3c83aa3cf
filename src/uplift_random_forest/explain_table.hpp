// Tables that leave path-dependent TreeSHAP one pass over a tree's leaves per row (the
// precomputation of Fast TreeSHAP v2, Yang 2021).
//
// Take a leaf of value v whose path tests d distinct features u_0..u_{d-1} (a feature tested
// twice on the path is one of them). For each u_i let z_i be the product of the cover shares
// of the path's branches at the splits on u_i (how much of a row without u_i follows the path
// there), and o_i = 1 when the row itself follows all of those branches, else 0. With m the set
// of features the row agrees with (o_i = 1), R the product of z_j over the features outside m,
// and, for T a set of the leaf's features,
//   B(T) = sum over S within T of |S|! (d - |S| - 1)! / d! times the product of z_j over T \ S,
// the leaf adds to the contribution of u_i
//   v (1 - z_i) R B(m \ {i})   when i is in m,        -v R B(m)   when it is not,
// which is its share of the Shapley values of the game S -> v * prod(o, S) * prod(z, not S).
// B depends on the tree alone, so it is tabled for every leaf and every T (2^d entries); a row
// then needs only its agreement mask m at each leaf, which one walk down the tree gives. Where
// every z_i of a leaf is positive its table holds C(T) = R(T) B(T) instead, R(T) the product of
// z_j over the features outside T, so that the shares are -C(m) and (1 - z_i) / z_i C(m \ {i}):
// one look-up each. A z_i of 0 (a branch whose subtree has no cover) keeps the leaf on B.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "uplift_tree/records.hpp"

namespace quillmarsh {

// The most distinct features a leaf's path may test for its tree to be tabled: a leaf's table
// holds 2^d doubles, so deeper paths (up to 4096 entries here) stay with the walk that carries
// the path's weights, whose memory is that of one path.
inline constexpr std::size_t kMaxTableFeatures = 12;

// What a tree's table would cost, for choosing between the table and the walk.
struct PathShape {
  std::size_t max_features = 0;  // the most distinct features on a leaf's path
  std::size_t entries = 0;       // table entries: the sum over leaves of 2^d (0 when too deep)
  double build_work = 0.0;       // sum over leaves of 2^d * d, the work of building the table
  double walk_work = 0.0;        // sum over leaves of d^2, the walk's work per row
};

struct PathLeaf {
  std::uint32_t slot = 0;   // the leaf's slot in the node array
  std::uint32_t first = 0;  // its features start at features[first] and zeros[first]
  std::uint32_t size = 0;   // d: its distinct features
  bool scaled = false;      // the table holds C, not B
  std::size_t table = 0;    // B(T) or C(T) at weights[table + T], T a bit set over the d features
};

struct PathTable {
  std::vector<std::uint8_t> bit;   // per slot of a split: its feature's position on the path
  std::vector<std::int32_t> leaf;  // per slot: the index of its leaf in `leaves`, or -1
  std::vector<PathLeaf> leaves;
  std::vector<std::int32_t> features;  // per leaf, its distinct features in order of testing
  std::vector<double> zeros;           // z of each of those features
  std::vector<double> odds;            // (1 - z) / z of each, where the leaf is scaled
  std::vector<double> weights;         // B or C of every leaf and feature set
};

// `fraction` holds per slot its share of its parent's cover (as child_fractions gives it).
PathShape path_shape(const UpliftTreeModel& tree);
// Panics when a leaf's path tests more than kMaxTableFeatures distinct features.
PathTable path_table(const UpliftTreeModel& tree, std::span<const double> fraction);

// The mask of a row at a leaf it cannot reach in any coalition (a branch without cover lies
// between, that the row does not take): the leaf adds nothing for that row.
inline constexpr std::uint32_t kCutOff = ~std::uint32_t{0};

// Adds the leaf's shares for several rows: agree[j] is row j's set of the leaf's features
// (bit i for the leaf's i-th feature) that it follows, or kCutOff; row j's contributions are
// phi[j * stride + f * width + k] for the leaf's features f and outputs k; `value` is the
// leaf's value (width entries). A leaf that weighs nothing in every coalition for a row
// (R = 0) adds nothing to it, even where its value is NaN.
void add_leaf_shares(const PathTable& table, const PathLeaf& leaf,
                     std::span<const std::uint32_t> agree, const double* value, std::size_t width,
                     double* phi, std::size_t stride);

}  // namespace quillmarsh
