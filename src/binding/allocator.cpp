// The module's heap. The linked mimalloc archive defines malloc, free and every variant of
// operator new and delete (plain, array, aligned, nothrow, sized); the version script keeps
// them local to this module, so all of its C and C++ allocations go to mimalloc while the
// interpreter and other extensions keep their own allocator. Code in this module must never
// free() memory that the C library allocated (or the other way round).
//
// mimalloc's operator new is compiled as C: when an allocation fails and no new-handler is
// installed it calls abort(). A handler that throws std::bad_alloc, as the C++ library's own
// operator new would, keeps out-of-memory an ordinary failure of the call.
#include "binding/allocator.hpp"

#include <new>

namespace quillmarsh {

#if defined(QUILLMARSH_USE_MIMALLOC)

namespace {
[[noreturn]] void throw_bad_alloc() { throw std::bad_alloc(); }
}  // namespace

void install_allocation_failure_handler() noexcept {
  // Only this module's copy of the C++ library sees this handler (it is linked statically
  // and kept local), so the interpreter's process-wide state is untouched. Installing the
  // handler does not call it (cppcheck takes the address for a call).
  // cppcheck-suppress throwInNoexceptFunction
  std::set_new_handler(&throw_bad_alloc);
}

#else

// The C++ library's own operator new already throws std::bad_alloc.
void install_allocation_failure_handler() noexcept {}

#endif

}  // namespace quillmarsh
