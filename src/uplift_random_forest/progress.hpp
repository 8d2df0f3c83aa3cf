// Where training prints its progress lines. The core writes to a sink; the binding layer
// implements it by printing through the interpreter on the calling thread.
#pragma once

#include <string>

namespace quillmarsh {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // Called on the thread that called fit only; may panic (the failure ends fit).
  virtual void print_line(std::string line) = 0;
};

}  // namespace quillmarsh
