// The model document as a whole: the forest record and the toolkit's own metadata, which the
// document carries under one extra top-level key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "uplift_random_forest/forest.hpp"

namespace quillmarsh {

// The top-level key of the toolkit's metadata, written after "trees".
inline constexpr std::string_view kKitKey = "quillmarsh_kit";

struct ModelDocument {
  UpliftRandomForestModel forest;
  std::optional<std::string> kit;  // the raw JSON text of the "quillmarsh_kit" value, if any
};

}  // namespace quillmarsh
