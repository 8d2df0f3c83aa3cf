// Where the random draws of growing one tree come from: the generator of the thread that draws
// (keyed from the operating system), or streams derived from a seed, one per draw site.
#pragma once

#include <cstdint>
#include <optional>

#include "common/panic.hpp"
#include "concurrency/rng.hpp"

namespace quillmarsh {

class TreeDraws {
 public:
  static constexpr std::uint64_t kTreeRowsSlot = ~std::uint64_t{0};

  // Each draw from the drawing thread's own generator: trees differ from fit to fit.
  static TreeDraws from_threads() noexcept { return TreeDraws(); }
  // Each draw site (node slot, site) of tree `tree` has a stream of its own under `seed`, so
  // the tree depends only on (seed, tree), not on which thread draws or when.
  static TreeDraws seeded(std::uint64_t seed, std::uint64_t tree) noexcept {
    TreeDraws d;
    d.seed_ = seed;
    d.tree_ = tree;
    return d;
  }

  // The generator of one draw site. Site 0 of a node draws its feature subset, site p + 1 the
  // candidate sample of the feature at position p of feature_cols. Slot kTreeRowsSlot, which
  // no node has, draws the tree's rows: site 0 its sample, site 1 the honest division.
  class Site {
   public:
    Rng& rng() noexcept { return own_ ? *own_ : thread_rng(); }

   private:
    friend class TreeDraws;
    std::optional<Rng> own_;
  };
  Site at(std::uint64_t slot, std::uint64_t site) const {
    Site s;
    if (seed_) s.own_.emplace(Rng::derived(*seed_, {tree_, slot, site}));
    return s;
  }
  bool is_seeded() const noexcept { return seed_.has_value(); }

  // The stream of the half-sample shared by the trees tree / group_size * group_size, ...:
  // named by (seed, group) as site 2 of slot kTreeRowsSlot, which no tree draws from, so every
  // tree of the group regenerates the same half. Panics without a seed.
  Rng group_stream(std::uint64_t group_size) const {
    if (!seed_) panic("trees grown in groups need a seed: the trees of a group share its draws");
    return Rng::derived(*seed_, {tree_ / group_size, kTreeRowsSlot, 2});
  }

 private:
  TreeDraws() = default;
  std::optional<std::uint64_t> seed_;
  std::uint64_t tree_ = 0;
};

}  // namespace quillmarsh
