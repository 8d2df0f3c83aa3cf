// The round-trip property of the model document, shared by the tests and the reader's fuzz
// target (fuzz/build.sh puts tests/cpp on the include path).
#pragma once

#include <cmath>

#include "uplift_random_forest/forest.hpp"
#include "uplift_tree/records.hpp"

namespace quillmarsh {

// Whether `read` is what reading back the document of `written` gives: every field the same
// and every float bit for bit, except that a non-finite float (written as null) comes back as
// NaN.
inline bool reads_back_as(const UpliftRandomForestModel& written,
                          const UpliftRandomForestModel& read) {
  return same_fields(written, read, [](auto w, auto r) {
    return std::isfinite(w) ? kSameBits(w, r) : std::isnan(r);
  });
}

}  // namespace quillmarsh
