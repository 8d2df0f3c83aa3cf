// Construction of the tree template from the forest record.
#include "uplift_random_forest/forest.hpp"

#include <type_traits>

namespace quillmarsh {

UpliftTreeModel make_tree_template(const UpliftRandomForestModel& forest, EvalFunc eval_func) {
  UpliftTreeModel tree;
  // Each setting the two tables share, by name and kind, is copied; the column names and the
  // lists are not settings, and the forest keeps eval_func as the caller's text.
  for_each_field<UpliftTreeModel>([&](const auto& to) {
    using To = std::remove_cvref_t<decltype(to)>;
    if constexpr (To::kKind == FieldKind::U64 || To::kKind == FieldKind::Bool ||
                  To::kKind == FieldKind::F64) {
      for_each_field<UpliftRandomForestModel>([&](const auto& from) {
        if constexpr (std::remove_cvref_t<decltype(from)>::kKind == To::kKind) {
          if (from.name == to.name) tree.*to.member = forest.*from.member;
        }
      });
    }
  });
  tree.eval_func = eval_func;
  return tree;
}

}  // namespace quillmarsh
