#include "call_hooks.h"

#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

test_support::call_hook hook;
thread_local bool in_hook = false; // what a hook itself calls is not hooked

template <typename Function>
Function* real(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

void notify(test_support::moment when, test_support::call what, const char* path, int detail, long result)
{
    if (!hook || in_hook)
        return;
    const int error = errno;
    in_hook = true;
    hook(when, what, path, detail, result);
    in_hook = false;
    errno = error;
}

template <typename Call>
auto hooked(test_support::call what, const char* path, int detail, Call&& call)
{
    notify(test_support::moment::before, what, path, detail, 0);
    const auto result = call();
    notify(test_support::moment::after, what, path, detail, static_cast<long>(result));
    return result;
}

} // namespace

void test_support::set_call_hook(call_hook new_hook)
{
    hook = std::move(new_hook);
}

using test_support::call;

extern "C" {

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    static auto* next = real<int(const char*, int, ...)>("open");
    return hooked(call::open, path, flags, [&] { return next(path, flags, mode); });
}

int lstat(const char* path, struct stat* status)
{
    static auto* next = real<int(const char*, struct stat*)>("lstat");
    return hooked(call::lstat, path, -1, [&] { return next(path, status); });
}

int faccessat(int folder, const char* path, int mode, int flags)
{
    static auto* next = real<int(int, const char*, int, int)>("faccessat");
    return hooked(call::faccessat, path, folder, [&] { return next(folder, path, mode, flags); });
}

int mkfifo(const char* path, mode_t mode)
{
    static auto* next = real<int(const char*, mode_t)>("mkfifo");
    return hooked(call::mkfifo, path, -1, [&] { return next(path, mode); });
}

int chmod(const char* path, mode_t mode)
{
    static auto* next = real<int(const char*, mode_t)>("chmod");
    return hooked(call::chmod, path, -1, [&] { return next(path, mode); });
}

int unlink(const char* path)
{
    static auto* next = real<int(const char*)>("unlink");
    return hooked(call::unlink, path, -1, [&] { return next(path); });
}

int flock(int fd, int operation)
{
    static auto* next = real<int(int, int)>("flock");
    return hooked(call::flock, nullptr, fd, [&] { return next(fd, operation); });
}

int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags)
{
    static auto* next = real<int(int, const char*, int, const char*, int)>("linkat");
    return hooked(call::linkat, to, from_folder, [&] { return next(from_folder, from, to_folder, to, flags); });
}

int link(const char* from, const char* to)
{
    static auto* next = real<int(const char*, const char*)>("link");
    return hooked(call::link, to, -1, [&] { return next(from, to); });
}

ssize_t write(int fd, const void* bytes, size_t size)
{
    static auto* next = real<ssize_t(int, const void*, size_t)>("write");
    return hooked(call::write, nullptr, fd, [&] { return next(fd, bytes, size); });
}

} // extern "C"
