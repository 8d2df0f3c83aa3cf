// Where the random draws of growing one tree come from: the generator of the thread that draws
// (keyed from the operating system), or streams derived from a seed, one per draw site.
#pragma once

#include <cstdint>
#include <optional>

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

 private:
  TreeDraws() = default;
  std::optional<std::uint64_t> seed_;
  std::uint64_t tree_ = 0;
};

}  // namespace quillmarsh
