// What one trigger costs, measured against the floor of any process (a static
// program that only exits), /bin/true and a no-op program linked like bellTap. A separate
// host process publishes the lines and stamps each wake-up, so that the
// spawning process stays small whatever the number of lines. Runs are
// interleaved, so that drift on a shared machine hits all programs alike, and
// results are ratios of medians.
#include "event_name.h"
#include "event_path.h"
#include "irqhost.h"
#include "stats.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

double micros(clock_type::time_point t)
{
    return std::chrono::duration<double, std::micro>(t.time_since_epoch()).count();
}

pid_t spawn(const char* program, const char* argument)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program, &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", program);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Spawn to reap, in microseconds; a run that fails ends the benchmark.
double run(const char* program, const char* argument = nullptr)
{
    const double start = micros(clock_type::now());
    const pid_t pid = spawn(program, argument);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    const double elapsed = micros(clock_type::now()) - start;
    if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        std::fprintf(stderr, "%s %s failed\n", program, argument != nullptr ? argument : "");
        std::exit(1);
    }
    return elapsed;
}

// Peak resident memory of the program itself, in KiB: read as it exits, since
// the figure the kernel keeps for a reaped child includes its parent's pages
// from before the exec.
long peak_rss_kb(const char* program, const char* argument = nullptr)
{
    const pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execl(program, program, argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0); // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &wstatus, 0); // stopped on its way out
    long peak = -1;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            peak = std::atol(line.c_str() + 6);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &wstatus, 0);
    return peak;
}

// A host in a process of its own, publishing lines far above any line a real
// host uses. For each interrupt it writes the line's index and the time its
// wait returned to `stamps`.
struct host {
    pid_t pid;
    int stamps;
    std::vector<std::string> arguments;
};

// The most lines one host process publishes: every run's lines, in one host.
constexpr int lines_per_host = 1024;

struct stamp {
    std::size_t line;
    double woken;
};

// SIGTERM ends the host's wait.
irqhost* served = nullptr;

void stop_serving(int)
{
    irqhost_stop(served);
}

void serve(const std::vector<std::string>& arguments, int ready, int stamps)
{
    std::vector<std::uint32_t> irqs;
    for (const auto& argument : arguments)
        irqs.push_back(irq_from_text(argument.c_str()));
    char why[256];
    served = irqhost_open(irqs.data(), irqs.size(), 0600, why, sizeof why);
    if (served == nullptr) {
        std::fprintf(stderr, "cannot publish: %s\n", why);
        _exit(1);
    }
    std::signal(SIGTERM, stop_serving);
    if (write(ready, "r", 1) != 1)
        _exit(1);
    std::uint32_t set[lines_per_host];
    int count = 0;
    while ((count = irqhost_wait(served, -1, set, lines_per_host)) > 0) {
        const double woken = micros(clock_type::now());
        for (int i = 0; i < count; ++i) {
            const stamp s{set[i] - irqs[0], woken};
            if (write(stamps, &s, sizeof s) != sizeof s)
                _exit(1);
        }
    }
    irqhost_close(served);
    _exit(0);
}

host start_host(std::uint32_t first, int count)
{
    host h{};
    for (int i = 0; i < count; ++i)
        h.arguments.push_back(std::to_string(first + static_cast<std::uint32_t>(i)));
    int ready[2];
    int stamps[2];
    if (pipe(ready) != 0 || pipe(stamps) != 0)
        std::exit(1);
    h.pid = fork();
    if (h.pid == 0)
        serve(h.arguments, ready[1], stamps[1]);
    close(ready[1]);
    close(stamps[1]);
    char byte;
    if (read(ready[0], &byte, 1) != 1) {
        std::fprintf(stderr, "the host did not start\n");
        std::exit(1);
    }
    close(ready[0]);
    h.stamps = stamps[0];
    return h;
}

std::vector<host> start_hosts(int lines)
{
    const auto base = 1'700'000'000u + static_cast<std::uint32_t>(getpid() % 100'000) * 2000u;
    std::vector<host> hosts;
    for (int first = 0; first < lines; first += lines_per_host)
        hosts.push_back(start_host(base + static_cast<std::uint32_t>(first), std::min(lines_per_host, lines - first)));
    return hosts;
}

void stop_hosts(const std::vector<host>& hosts)
{
    for (const host& h : hosts) {
        kill(h.pid, SIGTERM);
        waitpid(h.pid, nullptr, 0);
        close(h.stamps);
    }
}

// Time from `start` to the host's report of `line`.
double report_after(const host& h, std::size_t line, double start)
{
    stamp s{};
    if (read(h.stamps, &s, sizeof s) != sizeof s || s.line != line) {
        std::fprintf(stderr, "the host did not see line %s\n", h.arguments[line].c_str());
        std::exit(1);
    }
    return s.woken - start;
}

struct trigger_times {
    double whole; // spawn of bellTap to its reaping
    double wake;  // spawn of bellTap to the host's wait returning
};

trigger_times trigger(const char* belltap, const std::vector<host>& hosts, std::size_t index)
{
    const host& h = hosts[index / lines_per_host];
    const std::size_t line = index % lines_per_host;
    const double start = micros(clock_type::now());
    const double whole = run(belltap, h.arguments[line].c_str());
    return {whole, report_after(h, line, start)};
}

// Raise-to-report from code: the prepared line and irqhost_raise beside
// bellTap's spawn-to-report, and the floor of all, one byte written on a
// descriptor already open.
struct raise_times {
    std::vector<double> spawned, raised, prepared, written;
};

raise_times raise_to_wake(const char* belltap, const std::vector<host>& hosts, int runs)
{
    const host& h = hosts[0];
    const std::uint32_t line = irq_from_text(h.arguments[0].c_str());
    const int open_already = open(event_path_of(event_name_from_irq(line).text).text, O_WRONLY | O_NONBLOCK);
    irqhost_line* prepared = irqhost_line_open(line, nullptr, 0);
    if (open_already < 0 || prepared == nullptr) {
        std::fprintf(stderr, "cannot open the host's first line\n");
        std::exit(1);
    }
    raise_times t;
    for (int i = 0; i < runs; ++i) {
        t.spawned.push_back(trigger(belltap, hosts, 0).wake);
        double start = micros(clock_type::now());
        if (irqhost_raise(line) != 0) {
            std::fprintf(stderr, "irqhost_raise failed\n");
            std::exit(1);
        }
        t.raised.push_back(report_after(h, 0, start));
        start = micros(clock_type::now());
        if (irqhost_line_raise(prepared) != 0) {
            std::fprintf(stderr, "irqhost_line_raise failed\n");
            std::exit(1);
        }
        t.prepared.push_back(report_after(h, 0, start));
        start = micros(clock_type::now());
        if (write(open_already, "x", 1) != 1)
            std::exit(1);
        t.written.push_back(report_after(h, 0, start));
    }
    irqhost_line_close(prepared);
    close(open_already);
    return t;
}

// A raise's own cost, without a host to wake: a host of this process's own
// that reads its line only every thousand raises. Microseconds a raise.
std::pair<double, double> own_costs(int rounds)
{
    const std::uint32_t line = 1'800'000'000u + static_cast<std::uint32_t>(getpid() % 100'000) * 10u;
    irqhost* own = irqhost_open(&line, 1, 0600, nullptr, 0);
    irqhost_line* prepared = irqhost_line_open(line, nullptr, 0);
    if (own == nullptr || prepared == nullptr)
        std::exit(1);
    std::vector<double> raised, held;
    std::uint32_t set[1];
    for (int round = 0; round < rounds; ++round) {
        double start = micros(clock_type::now());
        for (int i = 0; i < 1000; ++i)
            irqhost_raise(line);
        raised.push_back((micros(clock_type::now()) - start) / 1000);
        irqhost_wait(own, 0, set, 1);
        start = micros(clock_type::now());
        for (int i = 0; i < 1000; ++i)
            irqhost_line_raise(prepared);
        held.push_back((micros(clock_type::now()) - start) / 1000);
        irqhost_wait(own, 0, set, 1);
    }
    irqhost_line_close(prepared);
    irqhost_close(own);
    return {quantile(raised, 0.5), quantile(held, 0.5)};
}

// Python beside C, where the package can be had: a raise's own cost in a
// Python process, and a demo host's raise-to-report (python3 -m irqhost
// against irqhost, both printing "irq N" to a pipe read here).
std::string python_raise_cost(std::uint32_t line)
{
    const std::string script = "import irqhost,time\nn=20000\nh=irqhost.Host([" + std::to_string(line) +
                               "])\nl=irqhost.Line(" + std::to_string(line) +
                               ")\nfor f in (lambda:irqhost.raise_line(" + std::to_string(line) +
                               "),l.raise_line):\n t=time.perf_counter()\n for i in range(n):\n  f()\n  "
                               "if i%1000==0:h.wait(0)\n print((time.perf_counter()-t)/n*1e6,end=\" \")\n";
    const std::string command = std::string("/usr/bin/python3 -c '") + script + "' 2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[128];
        while (std::fgets(buffer, sizeof buffer, p) != nullptr)
            out += buffer;
        pclose(p);
    }
    return out;
}

// A demo host in a process of its own, read through a pipe: the time from a
// raise to its "irq N" line, median of `runs`.
double demo_wake(const std::vector<std::string>& argv, std::uint32_t line, int runs)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    char byte = 0;
    std::string banner;
    while (banner.find('\n') == std::string::npos && read(err[0], &byte, 1) == 1)
        banner += byte;
    std::vector<double> woken;
    for (int i = 0; i < runs; ++i) {
        const double start = micros(clock_type::now());
        if (irqhost_raise(line) != 0)
            break;
        std::string text;
        while ((text.empty() || text.back() != '\n') && read(out[0], &byte, 1) == 1)
            text += byte;
        woken.push_back(micros(clock_type::now()) - start);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    close(err[0]);
    return woken.empty() ? 0 : quantile(woken, 0.5);
}

void print_ratio(const char* what, std::vector<double> r)
{
    const double p10 = quantile(r, 0.10);
    const double p50 = quantile(r, 0.50);
    const double p90 = quantile(r, 0.90);
    std::printf("  %-28s %6.3f   (p10 %.3f, p90 %.3f)\n", what, p50, p10, p90);
}

} // namespace

int main(int argc, char* argv[])
{
    const char* belltap = BELLTAP_PATH;
    const char* noop = NOOP_PATH;
    const char* floor = FLOOR_PATH;
    int runs = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--belltap") == 0)
            belltap = argv[i + 1];
    }

    std::printf("bellTap benchmark: %d interleaved runs of each program\n", runs);
    std::printf("  bellTap: %s\n  no-op:   %s (C, linked like bellTap)\n  floor:   %s (only exits; no C library)\n\n",
                belltap, noop, floor);

    const std::vector<host> hosts = start_hosts(8);
    std::vector<double> tap, truth, nothing, bare, wake;
    for (int i = 0; i < runs; ++i) {
        const trigger_times t = trigger(belltap, hosts, static_cast<std::size_t>(i) % 8);
        tap.push_back(t.whole);
        wake.push_back(t.wake);
        truth.push_back(run("/bin/true"));
        nothing.push_back(run(noop));
        bare.push_back(run(floor));
    }
    // Where the libraries land moves with address-space randomization, and
    // with it how many pages a run touches: the median of many runs.
    std::vector<double> tap_rss, true_rss, noop_rss, floor_rss;
    for (int i = 0; i < 51; ++i) {
        tap_rss.push_back(peak_rss_kb(belltap, hosts[0].arguments[0].c_str()));
        true_rss.push_back(peak_rss_kb("/bin/true"));
        noop_rss.push_back(peak_rss_kb(noop));
        floor_rss.push_back(peak_rss_kb(floor));
    }
    const raise_times from_code = raise_to_wake(belltap, hosts, runs);
    stop_hosts(hosts);

    std::printf("1. Whole-process cost (spawn to reap), medians in microseconds\n");
    std::printf("  bellTap (sets a live event) %8.1f\n", quantile(tap, 0.5));
    std::printf("  /bin/true                   %8.1f\n", quantile(truth, 0.5));
    std::printf("  no-op C program             %8.1f\n", quantile(nothing, 0.5));
    std::printf("  floor                       %8.1f\n", quantile(bare, 0.5));
    std::printf("  ratios of interleaved runs, median (spread):\n");
    print_ratio("bellTap / floor", ratios(tap, bare));
    print_ratio("no-op / floor", ratios(nothing, bare));
    print_ratio("bellTap / /bin/true", ratios(tap, truth));
    print_ratio("bellTap / no-op", ratios(tap, nothing));

    std::printf("\n2. Trigger-to-wake latency (start of bellTap to the host's wait returning)\n");
    const double p50 = quantile(wake, 0.50);
    std::printf("  p50 %.1f us, p90 %.1f us, p99 %.1f us\n", p50, quantile(wake, 0.90), quantile(wake, 0.99));
    std::printf("  p50 / bellTap's spawn-to-reap  %6.3f\n", p50 / quantile(tap, 0.5));

    std::printf("\n   From code, interleaved: start to the host's report, microseconds\n");
    std::printf("  %-34s %8s %8s\n", "", "p50", "p99");
    const std::pair<const char*, const std::vector<double>*> rows[] = {
        {"bellTap, spawned", &from_code.spawned},
        {"irqhost_raise", &from_code.raised},
        {"a prepared line", &from_code.prepared},
        {"floor: a byte on an open descriptor", &from_code.written},
    };
    for (const auto& [what, sample] : rows)
        std::printf("  %-34s %8.1f %8.1f\n", what, quantile(*sample, 0.5), quantile(*sample, 0.99));
    const double prepared = quantile(from_code.prepared, 0.5);
    std::printf("  bellTap p50 / irqhost_raise p50   %8.2f   (target: at least 8)\n",
                quantile(from_code.spawned, 0.5) / quantile(from_code.raised, 0.5));
    std::printf("  irqhost_raise p50 / floor p50     %8.2f\n",
                quantile(from_code.raised, 0.5) / quantile(from_code.written, 0.5));
    std::printf("  prepared line p50 / floor p50     %8.2f   (target: at most 1.3)\n",
                prepared / quantile(from_code.written, 0.5));
    std::printf("  bellTap p50 / prepared line p50   %8.2f   (target: at least 25)\n",
                quantile(from_code.spawned, 0.5) / prepared);
    const auto [raise_cost, prepared_cost] = own_costs(std::max(5, runs / 50));
    std::printf("  own cost, no host woken: irqhost_raise %.2f us, prepared line %.2f us, ratio %.2f   "
                "(target: at least 3)\n", raise_cost, prepared_cost, raise_cost / prepared_cost);

    std::printf("\n   Python (%s), beside C\n", PYTHON_PACKAGE);
    setenv("IRQHOST_LIBRARY", IRQHOST_LIBRARY, 1);
    setenv("PYTHONPATH", PYTHON_PACKAGE, 1);
    const std::uint32_t line = 1'800'000'000u + static_cast<std::uint32_t>(getpid() % 100'000) * 10u + 1;
    const std::string python_costs = python_raise_cost(line);
    double python_raise = 0, python_line = 0;
    if (std::sscanf(python_costs.c_str(), "%lf %lf", &python_raise, &python_line) == 2)
        std::printf("  own cost: raise_line %.2f us (%.1f x irqhost_raise), Line.raise_line %.2f us (%.1f x the "
                    "prepared line)\n", python_raise, python_raise / raise_cost, python_line, python_line / prepared_cost);
    else
        std::printf("  (no Python raise: /usr/bin/python3 with the package could not run)\n");
    const std::string number = std::to_string(line);
    const double c_wake = demo_wake({IRQHOST_DEMO, number}, line, std::max(50, runs / 10));
    const double python_wake = demo_wake({"/usr/bin/python3", "-m", "irqhost", number}, line, std::max(50, runs / 10));
    std::printf("  a demo host's raise to its printed line, p50: irqhost %.1f us, python3 -m irqhost %.1f us, "
                "ratio %.2f\n", c_wake, python_wake, c_wake > 0 ? python_wake / c_wake : 0.0);

    std::printf("\n3. Peak resident memory (VmHWM at exit, median of 51 runs, KiB)\n");
    std::printf("  bellTap %.0f, /bin/true %.0f, no-op %.0f, floor %.0f\n", quantile(tap_rss, 0.5),
                quantile(true_rss, 0.5), quantile(noop_rss, 0.5), quantile(floor_rss, 0.5));

    std::printf("\n4. Scale: triggers spread across many lines published by one host\n");
    std::printf("  %6s %12s %14s %14s\n", "lines", "whole (us)", "wake p50 (us)", "whole / at 8");
    double whole_at_8 = 0;
    for (const int count : {8, 64, 1024}) {
        const std::vector<host> many = start_hosts(count);
        std::vector<double> whole, woken;
        for (int i = 0; i < runs; ++i) {
            const auto line = static_cast<std::size_t>(i) * 7919 % static_cast<std::size_t>(count);
            const trigger_times t = trigger(belltap, many, line);
            whole.push_back(t.whole);
            woken.push_back(t.wake);
        }
        stop_hosts(many);
        const double median = quantile(whole, 0.5);
        if (count == 8)
            whole_at_8 = median;
        std::printf("  %6d %12.1f %14.1f %14.3f\n", count, median, quantile(woken, 0.5), median / whole_at_8);
    }
    return 0;
}
