#include "call_hooks.h"

#include <cerrno>
#include <cstdarg>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

test_support::call_hook hook;
test_support::call_fault fault;
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

int fault_for(test_support::call what, const char* path, int detail)
{
    if (!fault || in_hook)
        return 0;
    in_hook = true;
    const int error = fault(what, path, detail);
    in_hook = false;
    return error;
}

// The call, between the hook's two moments, unless a fault fails it: then
// it returns -1 with errno set.
template <typename Call>
auto hooked(test_support::call what, const char* path, int detail, Call&& call)
{
    notify(test_support::moment::before, what, path, detail, 0);
    const int error = fault_for(what, path, detail);
    decltype(call()) result = -1;
    if (error == 0 || what == test_support::call::close)
        result = call();
    if (error != 0) {
        result = -1;
        errno = error;
    }
    notify(test_support::moment::after, what, path, detail, static_cast<long>(result));
    return result;
}

} // namespace

void test_support::set_call_hook(call_hook new_hook)
{
    hook = std::move(new_hook);
}

void test_support::set_call_fault(call_fault new_fault)
{
    fault = std::move(new_fault);
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

int close(int fd)
{
    static auto* next = real<int(int)>("close");
    return hooked(call::close, nullptr, fd, [&] { return next(fd); });
}

ssize_t read(int fd, void* bytes, size_t size)
{
    static auto* next = real<ssize_t(int, void*, size_t)>("read");
    return hooked(call::read, nullptr, fd, [&] { return next(fd, bytes, size); });
}

ssize_t write(int fd, const void* bytes, size_t size)
{
    static auto* next = real<ssize_t(int, const void*, size_t)>("write");
    return hooked(call::write, nullptr, fd, [&] { return next(fd, bytes, size); });
}

int lstat(const char* path, struct stat* status)
{
    static auto* next = real<int(const char*, struct stat*)>("lstat");
    return hooked(call::lstat, path, -1, [&] { return next(path, status); });
}

int stat(const char* path, struct stat* status)
{
    static auto* next = real<int(const char*, struct stat*)>("stat");
    return hooked(call::stat, path, -1, [&] { return next(path, status); });
}

int fstat(int fd, struct stat* status)
{
    static auto* next = real<int(int, struct stat*)>("fstat");
    return hooked(call::fstat, nullptr, fd, [&] { return next(fd, status); });
}

int faccessat(int folder, const char* path, int mode, int flags)
{
    static auto* next = real<int(int, const char*, int, int)>("faccessat");
    return hooked(call::faccessat, path, folder, [&] { return next(folder, path, mode, flags); });
}

int fcntl(int fd, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    const long argument = va_arg(arguments, long);
    va_end(arguments);
    static auto* next = real<int(int, int, ...)>("fcntl");
    return hooked(call::fcntl, nullptr, fd, [&] { return next(fd, command, argument); });
}

int dup3(int from, int to, int flags)
{
    static auto* next = real<int(int, int, int)>("dup3");
    return hooked(call::dup3, nullptr, to, [&] { return next(from, to, flags); });
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

int fchmod(int fd, mode_t mode)
{
    static auto* next = real<int(int, mode_t)>("fchmod");
    return hooked(call::fchmod, nullptr, fd, [&] { return next(fd, mode); });
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

int epoll_create1(int flags)
{
    static auto* next = real<int(int)>("epoll_create1");
    return hooked(call::epoll_create1, nullptr, -1, [&] { return next(flags); });
}

int epoll_ctl(int epoll, int operation, int fd, epoll_event* event)
{
    static auto* next = real<int(int, int, int, epoll_event*)>("epoll_ctl");
    return hooked(call::epoll_ctl, nullptr, fd, [&] { return next(epoll, operation, fd, event); });
}

int eventfd(unsigned int initial, int flags)
{
    static auto* next = real<int(unsigned int, int)>("eventfd");
    return hooked(call::eventfd, nullptr, -1, [&] { return next(initial, flags); });
}

int kill(pid_t process, int signal)
{
    static auto* next = real<int(pid_t, int)>("kill");
    return hooked(call::kill, nullptr, process, [&] { return next(process, signal); });
}

ssize_t getrandom(void* bytes, size_t size, unsigned int flags)
{
    static auto* next = real<ssize_t(void*, size_t, unsigned int)>("getrandom");
    return hooked(call::getrandom, nullptr, -1, [&] { return next(bytes, size, flags); });
}

DIR* fdopendir(int fd)
{
    static auto* next = real<DIR*(int)>("fdopendir");
    DIR* listing = nullptr;
    hooked(call::fdopendir, nullptr, fd, [&] {
        listing = next(fd);
        return listing != nullptr ? 0 : -1;
    });
    return listing;
}

} // extern "C"
