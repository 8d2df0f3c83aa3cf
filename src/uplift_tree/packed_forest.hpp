// Prediction-ready trees: a list of trees packed into one array of 16-byte nodes (the reachable
// nodes of each tree, level by level), their leaf vectors in one array and their split
// categories as ids of one table of texts. Built once from the tree records, immutable, and
// shared read-only by every thread that predicts with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "uplift_tree/records.hpp"
#include "uplift_tree/row_batch.hpp"

namespace quillmarsh {

// Up to kRows rows held column by column, the way the block walk reads them. Column j holds
// the cells of PackedForest::columns()[j]; one more column, always missing, is read by the
// nodes that test nothing. A word is the value_key (routing.hpp) of a numeric cell and the
// forest's category id of a text cell. Tags (kept only for checked walks) say which kind each
// cell is.
class RowBlock {
 public:
  static constexpr std::size_t kRows = 256;
  enum Tag : std::uint8_t { kNumberCell = 0, kTextCell = 1, kMissingCell = 2 };

  RowBlock(std::size_t columns, bool tagged);

  std::size_t rows() const noexcept { return rows_; }
  void set_rows(std::size_t rows) noexcept { rows_ = rows; }
  std::size_t columns() const noexcept { return columns_; }  // without the missing column
  std::uint32_t* words(std::size_t column) noexcept { return words_.data() + column * kRows; }
  std::uint8_t* tags(std::size_t column) noexcept { return tags_.data() + column * kRows; }
  const std::uint32_t* words() const noexcept { return words_.data(); }
  const std::uint8_t* tags() const noexcept { return tags_.data(); }

 private:
  std::size_t rows_ = 0;
  std::size_t columns_;
  std::vector<std::uint32_t> words_;
  std::vector<std::uint8_t> tags_;
};

// The running mean and sum of squared deviations (Welford) of every entry of a block's sums
// over the trees added so far; both arrays start at zero.
struct LeafMoments {
  double* mean;
  double* m2;
};

// What add_group adds per entry v of a block: sum[v] += S, squares[v] += Q and
// group_squares[v] += S * S, with S the sum and Q the sum of squares of the group's leaf
// entries.
struct GroupSums {
  double* sum;
  double* squares;
  double* group_squares;
};

class PackedForest {
 public:
  // The id of a text that is no split category of the forest: it equals no category id.
  static constexpr std::uint32_t kNoCategory = 0xFFFFFFFF;

  // One feature that splits test: its position in a row, and how it is tested.
  struct Column {
    std::uint64_t col_idx;
    bool numeric;   // some split compares it with a threshold
    bool category;  // some split compares it with a category
  };

  // Packs every tree of the list, in order. Panics when the forest exceeds the 32-bit indices
  // of the packed arrays (no forest that fits in memory comes near them).
  explicit PackedForest(std::span<const UpliftTreeModel> trees);

  std::size_t size() const noexcept { return trees_.size(); }
  // 0, 1, ..., size()-1: every tree, in list order.
  std::span<const std::uint32_t> all_trees() const noexcept { return all_trees_; }
  // The number of feature_cols of a tree (the width its batch walk expects of the first row).
  std::size_t feature_count(std::size_t tree) const { return trees_[tree].feature_count; }
  // The length that every leaf reachable in the forest has, or nullopt when there is no such
  // leaf or when lengths differ (only hand-edited model files give either with trees present).
  std::optional<std::size_t> leaf_width() const noexcept { return leaf_width_; }
  // The features that reachable splits test, each once, in order of first use.
  std::span<const Column> columns() const noexcept { return columns_; }

  // The id of a text among the forest's split categories, or kNoCategory.
  std::uint32_t category_id(std::string_view text) const;
  // category_id of each text, in order.
  std::vector<std::uint32_t> category_ids(std::span<const std::string> texts) const;

  // A node array that growth does not produce, and that a walk could reach: a split with a
  // negative col_idx, a child slot beyond the array, no nodes at all. A message naming the
  // first such node, or nullopt.
  std::optional<std::string> defect() const;
  bool walkable() const noexcept { return walkable_; }  // no defect()

  // The exact walk of one row through tree `tree`, with the record walk's checks and messages
  // (find_leaf in predict.hpp). text_ids[i] is the category id of the row's text i.
  std::span<const double> find_leaf(std::size_t tree, RowView row,
                                    std::span<const std::uint32_t> text_ids) const;

  // For every row r of the block and every tree of `trees` in that order:
  // sums[r * width + k] += leaf[k], and the moments when given. Every reachable leaf must be
  // `width` long (leaf_width()). The rows walk the trees level by level, so that the loads of
  // all rows of the block overlap. kChecked: returns false, with sums in an unspecified state,
  // when a row meets anything the exact walk would fail on (a cell of the wrong kind, a missing
  // cell, a node beyond the array); the block's tags are read. Unchecked walks need a
  // walkable() forest and blocks whose cells are all of the kinds their column's splits test.
  template <bool kChecked>
  bool add_trees(std::span<const std::uint32_t> trees, const RowBlock& block, std::size_t width,
                 double* sums, const LeafMoments* moments) const;

  // add_trees<false> of a group of trees (sums to the bit the same, tree by tree in the order
  // of `trees`) and its GroupSums, in one pass over the block's entries after walking every
  // tree of the group. `leaf_at` has room for trees.size() * RowBlock::kRows indices.
  void add_group(std::span<const std::uint32_t> trees, const RowBlock& block, std::size_t width,
                 double* sums, const GroupSums& group, std::uint32_t* leaf_at) const noexcept;

 private:
  enum class Kind : std::uint8_t { Numeric, Category, Leaf, Beyond };
  // What the block walk reads at every step (packed_goes_left). Where a walk rests (a leaf, or
  // a slot beyond the array) the node reads the block's missing column against the largest
  // test: it always goes "left", to itself, and a leaf's mask is free to hold where its vector
  // starts in leaf_values_.
  struct Node {
    std::uint32_t test = 0;   // a threshold's key (routing.hpp); 0 for a category
    std::uint32_t mask = 0;   // a category's id; 0 for a threshold; a leaf's first value
    std::uint32_t cells = 0;  // where the tested column starts in a RowBlock's words
    std::uint32_t child = 0;  // the left child; the right one follows it
  };
  // What the exact walk and the checked walk read beside the node.
  struct Detail {
    // Leaf: its length; split: the bits of its col_idx; Beyond: the missing slot
    std::uint32_t value = 0;
    float threshold = 0.0f;  // Numeric only
    Kind kind = Kind::Leaf;
    std::uint8_t accepts = 0;  // bit t: a cell of RowBlock::Tag t passes the checked walk here
  };
  struct Tree {
    std::uint32_t root = 0;
    std::uint32_t depth = 0;  // levels below the root
    std::uint64_t node_count = 0;
    std::uint64_t feature_count = 0;
  };
  // How a node array's splits reach the packed columns while the forest is built.
  struct Builder;

  void pack_tree(std::size_t number, const UpliftTreeModel& tree, Builder& builder);
  void pack_split(const TreeNode& node, Node& packed, Detail& detail, Builder& builder);
  void add_leaves(const std::uint32_t* leaf_at, std::size_t rows, std::size_t width,
                  double* sums) const noexcept;
  template <bool kChecked>
  bool walk(std::uint32_t tree, const RowBlock& block, std::uint32_t* at) const noexcept;

  std::vector<Node> nodes_;
  std::vector<Detail> details_;
  std::vector<double> leaf_values_;
  std::vector<std::string> categories_;  // sorted; a category's id is its position
  std::vector<Column> columns_;
  std::vector<Tree> trees_;
  std::vector<std::uint32_t> all_trees_;
  std::optional<std::size_t> leaf_width_;
  bool walkable_ = true;
};

}  // namespace quillmarsh
