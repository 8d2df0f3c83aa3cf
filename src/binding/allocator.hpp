// Allocation failures of the module's own heap.
#pragma once

namespace quillmarsh {

// Makes operator new report exhaustion with std::bad_alloc (which the call boundary turns
// into PanicException) instead of ending the process.
void install_allocation_failure_handler() noexcept;

}  // namespace quillmarsh
