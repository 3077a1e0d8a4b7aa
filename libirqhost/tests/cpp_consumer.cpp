// A C++ program with functions of its own under the names and signatures
// that the library's inner code has (the kind any program may have): linked
// against the static library, it neither clashes with the library nor takes
// the library's calls, and the library's own take no calls of the program's.
// Exits 0 when that held.
#include <irqhost.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

struct event_name {
    char text[256];
};
struct event_path {
    char text[512];
};
using event_handle = intptr_t;

int own_calls = 0;

event_handle open_event(const char*) { return ++own_calls, -1; }
int set_event(event_handle) { return ++own_calls; }
void close_event(event_handle) { ++own_calls; }
void ignore_broken_pipes() { ++own_calls; }
void report(char*, size_t, const char*, ...) { ++own_calls; }
uint32_t* sorted_lines(const uint32_t*, size_t, char*, size_t) { return ++own_calls, nullptr; }
uint32_t irq_from_text(const char*) { return ++own_calls, 0; }
event_name event_name_from_irq(uint32_t) { return ++own_calls, event_name{}; }
unsigned append_decimal(char*, unsigned, uint32_t) { return ++own_calls, 0; }
const char* event_directory() { return ++own_calls, "/nowhere/"; }
event_path event_path_of(const char*) { return ++own_calls, event_path{}; }
event_path event_path_in(const char*, const char*) { return ++own_calls, event_path{}; }
int above_stdio(int) { return ++own_calls, -1; }
int open_above_stdio(const char*, int) { return ++own_calls, -1; }
void plug_free_stdio() { ++own_calls; }

// Whatever the library under test failed to withdraw is not left.
void remove_line(uint32_t line)
{
    for (const char* folder : {"/dev/shm/OSirq", "/tmp/OSirq"})
        std::remove((folder + std::to_string(line)).c_str());
}

int main()
{
    const uint32_t line = 1'950'000'000u + static_cast<uint32_t>(getpid() % 1'000'000) * 10u;
    char why[256] = "";
    irqhost* host = irqhost_open(&line, 1, 0600, why, sizeof why);
    if (host == nullptr) {
        std::fprintf(stderr, "cpp_consumer: not published: %s\n", why);
        return 1;
    }
    uint32_t set[1];
    const bool raised = irqhost_raise(line) == 0 && irqhost_wait(host, 5000, set, 1) == 1 && set[0] == line;
    irqhost_close(host);
    remove_line(line);
    if (!raised || own_calls != 0) {
        std::fprintf(stderr, "cpp_consumer: raised: %d, the library called the program's functions %d times\n",
                     raised, own_calls);
        return 1;
    }
    open_event("mine");
    if (own_calls != 1) {
        std::fprintf(stderr, "cpp_consumer: the program's own open_event was not its own\n");
        return 1;
    }
    std::puts("1 passed, 0 failed");
    return 0;
}
