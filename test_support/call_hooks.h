#pragma once

// The system calls of the library's POSIX code, interposed in a test
// program that links call_hooks.cpp: the library's objects, linked into the
// program, call these instead of the C library's, which they then call. A
// test may act just before or after any of them, and so make a race happen
// at the one moment it means, every time.

#include <functional>

namespace test_support {

enum class call { open, lstat, faccessat, mkfifo, chmod, unlink, flock, linkat, link, write };
enum class moment { before, after };

// `path` is the call's where it has one (linkat's and link's: the new
// name); `detail` is open's flags, faccessat's and linkat's folder, or the
// descriptor that flock and write act on; `result` is the call's (after it
// only). A hook runs with errno as the call left it, which the call's caller
// gets back afterwards.
using call_hook = std::function<void(moment, call, const char* path, int detail, long result)>;

// Sets the hook of this process (an empty one removes it).
void set_call_hook(call_hook hook);

} // namespace test_support
