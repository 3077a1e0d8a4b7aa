// The host's side on Windows: one kernel event per line in the session
// namespace, which the host resets as it reports the line: triggers before
// the report count as one, as with an automatic-reset event, but a set stays
// visible until it is reported. One wait takes at most 64 objects, so the
// waiting is done by threads of the host's own, each on up to 63 lines (a
// group) and an event of its own that calls it back. A thread that sees a
// line set marks it pending and leaves it out of its wait until irqhost_wait
// has reported it; irqhost_wait waits on one manual-reset event
// (irqhost_handle) that is set while any line is pending, or after a stop.
//
// Fairness: a thread's wait list starts after the line it last took in (a
// wait answers the first object set), pending lines are taken round-robin,
// and a look at a group's set lines starts after the last one it took.
// Completeness: a take looks at the groups of the lines it takes, so that
// lines set together come together, and a wait of 0 looks at every group.
#include "irqhost.h"

#include "event_name.h"
#include "host_common.h"
#include "wide_name.h"

#include <stdlib.h>
#include <windows.h>

namespace {

// A thread's wait: its lines and its own wake event.
constexpr size_t lines_per_watcher = MAXIMUM_WAIT_OBJECTS - 1;

// What a waiting thread needs: a small stack.
constexpr SIZE_T watcher_stack = 64 * 1024;

struct watcher {
    irqhost* host;
    size_t first;
    size_t count;
    size_t wait_from;  // its own: where its wait list starts in its group
    size_t look_from;  // the waiting thread's, under the lock: where a look at the group starts
    unsigned woken_in; // the take that last woke it
    unsigned pending_in; // the last take that took a pending line of its
    HANDLE wake;       // automatic reset: a line of its came back into its wait, or the host closes
    HANDLE thread;
};

// One bit per line.
struct line_set {
    uint64_t* words;

    bool has(size_t i) const { return (words[i / 64] >> (i % 64) & 1) != 0; }
    void add(size_t i) { words[i / 64] |= uint64_t{1} << (i % 64); }
    void remove(size_t i) { words[i / 64] &= ~(uint64_t{1} << (i % 64)); }
};

size_t words_for(size_t lines)
{
    return (lines + 63) / 64;
}

} // namespace

struct irqhost {
    LONG stopped;
    LONG closing;
    LONG failure; // a waiting thread's failed wait (its error), reported by irqhost_wait
    size_t count;
    uint32_t* irqs; // sorted
    HANDLE* events;
    HANDLE ready; // manual reset: a line is pending, the host stopped, or a thread's wait failed
    SRWLOCK lock; // guards what follows
    line_set pending; // its set taken in by its thread, not yet reported
    line_set armed;   // in its thread's wait
    unsigned* taken_in; // per line, the take that last reported it
    unsigned take;      // the take under way
    size_t pending_count;
    size_t next; // where the next take starts, so that a busy line starves none
    size_t watcher_count;
    watcher* watchers;
};

namespace {

bool is_set(LONG* flag)
{
    return InterlockedCompareExchange(flag, 0, 0) != 0;
}

bool publish(uint32_t irq, HANDLE* event, char* why, size_t why_size)
{
    const event_name name = event_name_from_irq(irq);
    *event = CreateEventW(nullptr, TRUE, FALSE, widen(name.text).text);
    if (*event == nullptr) {
        report(why, why_size, "%s: the system refused to create the event (error %lu)", name.text, GetLastError());
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(*event);
        *event = nullptr;
        report(why, why_size, "%s: a running host already publishes it", name.text);
        return false;
    }
    return true;
}

bool is_signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// A line its thread saw set: pending until reported, unless the waiting
// thread has taken it meanwhile (it is no longer set then). After a stop it
// stays set, unreported, and out of every wait.
void take_in(irqhost* host, size_t i)
{
    AcquireSRWLockExclusive(&host->lock);
    if (is_signalled(host->events[i])) {
        host->armed.remove(i);
        if (!is_set(&host->stopped)) {
            host->pending.add(i);
            ++host->pending_count;
            SetEvent(host->ready);
        }
    }
    ReleaseSRWLockExclusive(&host->lock);
}

DWORD WINAPI watch_lines(void* argument)
{
    watcher* self = static_cast<watcher*>(argument);
    irqhost* host = self->host;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    size_t lines[MAXIMUM_WAIT_OBJECTS];
    while (!is_set(&host->closing)) {
        DWORD waited = 0;
        AcquireSRWLockShared(&host->lock);
        for (size_t k = 0; k < self->count; ++k) {
            const size_t i = self->first + (self->wait_from + k) % self->count;
            if (host->armed.has(i)) {
                handles[waited] = host->events[i];
                lines[waited++] = i;
            }
        }
        ReleaseSRWLockShared(&host->lock);
        // The wake event last: a wait reports the first object set, so every
        // line set is taken in before a call to wait again or to end.
        handles[waited] = self->wake;
        const DWORD woken = WaitForMultipleObjects(waited + 1, handles, FALSE, INFINITE);
        if (woken < WAIT_OBJECT_0 + waited) {
            const size_t line = lines[woken - WAIT_OBJECT_0];
            take_in(host, line);
            self->wait_from = (line - self->first + 1) % self->count;
        } else if (woken != WAIT_OBJECT_0 + waited) {
            // Never with handles the host holds open; if it were, every
            // later wait says so rather than miss lines.
            InterlockedExchange(&host->failure, static_cast<LONG>(GetLastError()));
            SetEvent(host->ready);
            return 1;
        }
    }
    return 0;
}

// What one take has gathered.
struct take_state {
    uint32_t* lines;
    size_t capacity;
    size_t taken;
};

// Reports line `i` (resetting it: a set that came before this report is the
// same interrupt) and puts it back into its thread's wait, where a set after
// this is a new one.
void report_line(irqhost* host, size_t i, take_state* take)
{
    ResetEvent(host->events[i]);
    host->taken_in[i] = host->take;
    take->lines[take->taken++] = host->irqs[i];
    host->next = (i + 1) % host->count;
    if (!host->armed.has(i)) {
        host->armed.add(i);
        watcher& w = host->watchers[i / lines_per_watcher];
        if (w.woken_in != host->take) {
            w.woken_in = host->take;
            SetEvent(w.wake);
        }
    }
}

// Takes pending lines, round-robin from after the last line taken.
void take_pending(irqhost* host, take_state* take)
{
    const size_t start = host->next;
    for (size_t looked = 0; looked < host->count && take->taken < take->capacity && host->pending_count > 0;) {
        // The lines from i on that share its word of the set; none past the
        // last line is ever pending, nor, on from the first, one looked at.
        const size_t i = (start + looked) % host->count;
        const uint64_t word = host->pending.words[i / 64] >> (i % 64);
        if (word == 0) {
            const size_t rest_of_word = 64 - i % 64;
            looked += rest_of_word < host->count - i ? rest_of_word : host->count - i;
            continue;
        }
        const auto skip = static_cast<size_t>(__builtin_ctzll(word));
        const size_t line = i + skip;
        looked += skip + 1;
        host->pending.remove(line);
        --host->pending_count;
        report_line(host, line, take);
        host->watchers[line / lines_per_watcher].pending_in = host->take;
    }
}

// Takes the lines of group `g` that are set by now, even those that their
// thread is about to take in, but none this take has reported: from after
// the last one a look took.
void take_set_in_group(irqhost* host, size_t g, take_state* take)
{
    watcher& w = host->watchers[g];
    HANDLE handles[lines_per_watcher];
    size_t lines[lines_per_watcher];
    DWORD count = 0;
    for (size_t k = 0; k < w.count; ++k) {
        const size_t i = w.first + (w.look_from + k) % w.count;
        if (!host->pending.has(i) && host->taken_in[i] != host->take) {
            handles[count] = host->events[i];
            lines[count++] = i;
        }
    }
    for (DWORD from = 0; from < count && take->taken < take->capacity;) {
        const DWORD set = WaitForMultipleObjects(count - from, handles + from, FALSE, 0);
        if (set >= WAIT_OBJECT_0 + (count - from))
            break;
        const size_t line = lines[from + set - WAIT_OBJECT_0];
        report_line(host, line, take);
        w.look_from = (line - w.first + 1) % w.count;
        from += set - WAIT_OBJECT_0 + 1;
    }
}

// One take: the pending lines, then what is set in their groups, or where
// `everywhere`, in every group from the one the round-robin has reached.
size_t take_lines(irqhost* host, uint32_t* lines, size_t capacity, bool everywhere)
{
    take_state take{lines, capacity, 0};
    AcquireSRWLockExclusive(&host->lock);
    ++host->take;
    take_pending(host, &take);
    const size_t from = host->next / lines_per_watcher;
    for (size_t k = 0; k < host->watcher_count && take.taken < capacity; ++k) {
        const size_t g = (from + k) % host->watcher_count;
        if (everywhere || host->watchers[g].pending_in == host->take)
            take_set_in_group(host, g, &take);
    }
    if (host->pending_count == 0) {
        // A stop or a failure made meanwhile keeps it set.
        ResetEvent(host->ready);
        if (is_set(&host->stopped) || is_set(&host->failure))
            SetEvent(host->ready);
    }
    ReleaseSRWLockExclusive(&host->lock);
    return take.taken;
}

bool start_watchers(irqhost* host, char* why, size_t why_size)
{
    for (size_t k = 0; k < host->watcher_count; ++k) {
        watcher& w = host->watchers[k];
        w.host = host;
        w.first = k * lines_per_watcher;
        w.count = host->count - w.first < lines_per_watcher ? host->count - w.first : lines_per_watcher;
        w.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (w.wake != nullptr)
            w.thread = CreateThread(nullptr, watcher_stack, watch_lines, &w, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (w.thread == nullptr) {
            report(why, why_size, "cannot start the host's waiting threads (error %lu)", GetLastError());
            return false;
        }
    }
    return true;
}

DWORD milliseconds_until(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

} // namespace

extern "C" {

irqhost* irqhost_open(const uint32_t* lines, size_t count, unsigned, char* why, size_t why_size)
{
    report(why, why_size, "%s", "");
    uint32_t* sorted = sorted_lines(lines, count, why, why_size);
    if (sorted == nullptr)
        return nullptr;
    auto* host = static_cast<irqhost*>(calloc(1, sizeof(irqhost)));
    if (host != nullptr) {
        host->irqs = sorted;
        host->watcher_count = (count + lines_per_watcher - 1) / lines_per_watcher;
        host->events = static_cast<HANDLE*>(calloc(count, sizeof(HANDLE)));
        host->pending.words = static_cast<uint64_t*>(calloc(words_for(count), sizeof(uint64_t)));
        host->armed.words = static_cast<uint64_t*>(calloc(words_for(count), sizeof(uint64_t)));
        host->taken_in = static_cast<unsigned*>(calloc(count, sizeof(unsigned)));
        host->watchers = static_cast<watcher*>(calloc(host->watcher_count, sizeof(watcher)));
    }
    if (host == nullptr || host->events == nullptr || host->pending.words == nullptr || host->armed.words == nullptr ||
        host->taken_in == nullptr || host->watchers == nullptr) {
        report(why, why_size, "out of memory");
        if (host == nullptr)
            free(sorted);
        irqhost_close(host);
        return nullptr;
    }
    InitializeSRWLock(&host->lock);
    host->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (host->ready == nullptr) {
        report(why, why_size, "cannot make the host's wait (error %lu)", GetLastError());
        irqhost_close(host);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        host->count = i + 1;
        if (!publish(host->irqs[i], &host->events[i], why, why_size)) {
            irqhost_close(host);
            return nullptr;
        }
        host->armed.add(i);
    }
    if (!start_watchers(host, why, why_size)) {
        irqhost_close(host);
        return nullptr;
    }
    return host;
}

int irqhost_wait(irqhost* host, int timeout_ms, uint32_t* lines, size_t capacity)
{
    if (host == nullptr || lines == nullptr || capacity == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -2;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (is_set(&host->stopped))
            return -1;
        if (const LONG failure = InterlockedCompareExchange(&host->failure, 0, 0)) {
            SetLastError(static_cast<DWORD>(failure));
            return -2;
        }
        // A wait of 0 looks at every line: what was set before it is seen.
        if (const size_t taken = take_lines(host, lines, capacity, timeout_ms == 0))
            return static_cast<int>(taken);
        if (timeout_ms == 0)
            return 0;
        const DWORD woken = WaitForSingleObject(host->ready, timeout_ms < 0 ? INFINITE : milliseconds_until(deadline));
        if (woken == WAIT_FAILED)
            return -2;
        if (woken == WAIT_TIMEOUT && !is_set(&host->stopped))
            return static_cast<int>(take_lines(host, lines, capacity, false));
    }
}

void irqhost_stop(irqhost* host)
{
    if (host == nullptr)
        return;
    InterlockedExchange(&host->stopped, 1);
    SetEvent(host->ready);
}

void* irqhost_handle(const irqhost* host)
{
    return host != nullptr ? host->ready : nullptr;
}

void irqhost_close(irqhost* host)
{
    if (host == nullptr)
        return;
    // Every thread ends before the events it waits on are closed.
    InterlockedExchange(&host->closing, 1);
    for (size_t k = 0; host->watchers != nullptr && k < host->watcher_count; ++k)
        if (host->watchers[k].wake != nullptr)
            SetEvent(host->watchers[k].wake);
    for (size_t k = 0; host->watchers != nullptr && k < host->watcher_count; ++k) {
        watcher& w = host->watchers[k];
        if (w.thread != nullptr) {
            WaitForSingleObject(w.thread, INFINITE);
            CloseHandle(w.thread);
        }
        if (w.wake != nullptr)
            CloseHandle(w.wake);
    }
    for (size_t i = 0; i < host->count; ++i)
        if (host->events[i] != nullptr)
            CloseHandle(host->events[i]);
    if (host->ready != nullptr)
        CloseHandle(host->ready);
    free(host->watchers);
    free(host->taken_in);
    free(host->armed.words);
    free(host->pending.words);
    free(host->events);
    free(host->irqs);
    free(host);
}

} // extern "C"
