#pragma once

// The system calls of the library's POSIX code, interposed in a test
// program that links call_hooks.cpp: the library's objects, linked into the
// program, call these instead of the C library's, which they then call. A
// test may act just before or after any of them, and so make a race happen
// at the one moment it means, every time; or it may make any of them fail.

#include <functional>

namespace test_support {

enum class call {
    open, close, read, write, lstat, stat, fstat, faccessat, fcntl, dup3, mkfifo, chmod, fchmod, unlink, flock,
    linkat, link, epoll_create1, epoll_ctl, eventfd, kill, getrandom, fdopendir
};
enum class moment { before, after };

// `path` is the call's where it has one (linkat's and link's: the new
// name); `detail` is open's flags, faccessat's and linkat's folder, or the
// descriptor that the call acts on; `result` is the call's (after it
// only). A hook runs with errno as the call left it, which the call's caller
// gets back afterwards.
using call_hook = std::function<void(moment, call, const char* path, int detail, long result)>;

// Sets the hook of this process (an empty one removes it).
void set_call_hook(call_hook hook);

// Asked before each call: an errno makes the call fail with it (close is
// made all the same, as the kernel makes it whatever it returns), 0 lets it
// be made. Neither a hook nor a fault is asked about what a hook calls.
using call_fault = std::function<int(call, const char* path, int detail)>;

void set_call_fault(call_fault fault);

} // namespace test_support
