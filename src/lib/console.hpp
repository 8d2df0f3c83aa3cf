// Progress lines printed through the interpreter's own sys.stdout, by running a one-line
// program in __main__, so they interleave correctly with the caller's Python output.
#pragma once

#include <string>

#include "uplift_random_forest/progress.hpp"

namespace quillmarsh {

// Prints message and flushes sys.stdout. The message is inserted into the program without
// escaping. Any Python error panics with "called `Result::unwrap()` on an `Err` value: "
// followed by the error's rendering. The calling thread holds the interpreter lock: fit
// prints only from the thread that called it, inside the call.
void console_print(const std::string& message);

// The progress sink of fit: every line goes through console_print on the calling thread.
class InterpreterConsole final : public ProgressSink {
 public:
  void print_line(std::string line) override { console_print(line); }
};

}  // namespace quillmarsh
