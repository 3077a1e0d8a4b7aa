// The host's side on Windows: one kernel event per line in the session
// namespace, which the host resets as it reports the line: triggers before
// the report count as one, as with an automatic-reset event, but a set stays
// visible until it is reported. One wait takes at most 64 objects, so the
// waiting is done by threads of the host's own, each on up to 63 lines and
// an event of its own that calls it back. A thread that sees a line set
// marks it pending and leaves it out of its wait until irqhost_wait has
// reported it; irqhost_wait takes the pending lines round-robin, and waits
// on one manual-reset event (irqhost_handle) that is set while any is
// pending, or after a stop.
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
    HANDLE wake; // automatic reset: a line of its came back into its wait, or the host closes
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
    DWORD failure; // a waiting thread's failed wait, reported by irqhost_wait
    size_t count;
    uint32_t* irqs;
    HANDLE* events;
    HANDLE ready; // manual reset: a line is pending, or the host stopped
    SRWLOCK lock; // guards what follows
    line_set pending; // its set taken by its thread, not yet reported
    line_set armed;   // in its thread's wait
    size_t pending_count;
    size_t next; // where the next take starts, so that a busy line starves none
    size_t watcher_count;
    watcher* watchers;
};

namespace {

bool is_stopped(irqhost* host)
{
    return InterlockedCompareExchange(&host->stopped, 0, 0) != 0;
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

// A line its thread saw set: pending until reported, unless the caller's
// thread has taken it meanwhile (it is no longer set then). After a stop it
// stays set, unreported, and out of every wait.
void take_in(irqhost* host, size_t i)
{
    AcquireSRWLockExclusive(&host->lock);
    if (WaitForSingleObject(host->events[i], 0) == WAIT_OBJECT_0) {
        host->armed.remove(i);
        if (!is_stopped(host)) {
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
    while (InterlockedCompareExchange(&host->closing, 0, 0) == 0) {
        DWORD waited = 0;
        AcquireSRWLockShared(&host->lock);
        for (size_t i = self->first; i < self->first + self->count; ++i)
            if (host->armed.has(i)) {
                handles[waited] = host->events[i];
                lines[waited++] = i;
            }
        ReleaseSRWLockShared(&host->lock);
        // The wake event last: a wait reports the first object set, so every
        // line set is taken before a call to wait again or to end.
        handles[waited] = self->wake;
        const DWORD woken = WaitForMultipleObjects(waited + 1, handles, FALSE, INFINITE);
        if (woken < WAIT_OBJECT_0 + waited) {
            take_in(host, lines[woken - WAIT_OBJECT_0]);
        } else if (woken != WAIT_OBJECT_0 + waited) {
            // Never with handles the host holds open; if it were, every
            // later wait says so rather than miss lines.
            InterlockedExchange(reinterpret_cast<LONG*>(&host->failure), static_cast<LONG>(GetLastError()));
            SetEvent(host->ready);
            return 1;
        }
    }
    return 0;
}

// Takes pending lines, round-robin from after the last line taken, at most
// `capacity`, and resets them: a set that came after its thread saw the line
// and before this report is the same interrupt. Then the line goes back into
// its thread's wait, and a set after that is a new one.
size_t take_pending(irqhost* host, uint32_t* lines, size_t capacity, size_t* last = nullptr)
{
    size_t taken = 0;
    size_t woken_watcher = SIZE_MAX;
    AcquireSRWLockExclusive(&host->lock);
    const size_t start = host->next;
    for (size_t looked = 0; looked < host->count && taken < capacity && host->pending_count > 0;) {
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
        ResetEvent(host->events[line]);
        host->armed.add(line);
        lines[taken++] = host->irqs[line];
        host->next = (line + 1) % host->count;
        if (last != nullptr)
            *last = line;
        if (line / lines_per_watcher != woken_watcher) {
            woken_watcher = line / lines_per_watcher;
            SetEvent(host->watchers[woken_watcher].wake);
        }
    }
    if (host->pending_count == 0) {
        ResetEvent(host->ready);
        if (is_stopped(host)) // a stop made meanwhile keeps it set
            SetEvent(host->ready);
    }
    ReleaseSRWLockExclusive(&host->lock);
    return taken;
}

// After a wake, the other lines of the group of line `woken` that are set by
// now, even those that their thread is about to take: lines set together
// are reported together.
size_t take_set_beside(irqhost* host, size_t woken, uint32_t* lines, size_t capacity)
{
    const size_t first = woken - woken % lines_per_watcher;
    const size_t end = first + lines_per_watcher < host->count ? first + lines_per_watcher : host->count;
    bool looked_at[lines_per_watcher] = {};
    size_t taken = 0;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    size_t slots[MAXIMUM_WAIT_OBJECTS];
    AcquireSRWLockExclusive(&host->lock);
    while (taken < capacity) {
        DWORD count = 0;
        for (size_t i = first; i < end; ++i)
            if (!host->pending.has(i) && !looked_at[i - first]) {
                handles[count] = host->events[i];
                slots[count++] = i;
            }
        const DWORD set = count > 0 ? WaitForMultipleObjects(count, handles, FALSE, 0) : WAIT_TIMEOUT;
        if (set >= WAIT_OBJECT_0 + count)
            break;
        const size_t line = slots[set - WAIT_OBJECT_0];
        looked_at[line - first] = true;
        ResetEvent(host->events[line]);
        lines[taken++] = host->irqs[line];
        host->next = (line + 1) % host->count;
    }
    ReleaseSRWLockExclusive(&host->lock);
    return taken;
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
    if (!lines_are_valid(lines, count, why, why_size))
        return nullptr;
    auto* host = static_cast<irqhost*>(calloc(1, sizeof(irqhost)));
    if (host != nullptr) {
        host->watcher_count = (count + lines_per_watcher - 1) / lines_per_watcher;
        host->irqs = static_cast<uint32_t*>(calloc(count, sizeof(uint32_t)));
        host->events = static_cast<HANDLE*>(calloc(count, sizeof(HANDLE)));
        host->pending.words = static_cast<uint64_t*>(calloc(words_for(count), sizeof(uint64_t)));
        host->armed.words = static_cast<uint64_t*>(calloc(words_for(count), sizeof(uint64_t)));
        host->watchers = static_cast<watcher*>(calloc(host->watcher_count, sizeof(watcher)));
    }
    if (host == nullptr || host->irqs == nullptr || host->events == nullptr || host->pending.words == nullptr ||
        host->armed.words == nullptr || host->watchers == nullptr) {
        report(why, why_size, "out of memory");
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
        host->irqs[i] = lines[i];
        host->count = i + 1;
        if (!publish(lines[i], &host->events[i], why, why_size)) {
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
        if (is_stopped(host))
            return -1;
        if (const DWORD failure = host->failure) {
            SetLastError(failure);
            return -2;
        }
        if (const size_t taken = take_pending(host, lines, capacity))
            return static_cast<int>(taken);
        const DWORD left = timeout_ms < 0 ? INFINITE : milliseconds_until(deadline);
        const DWORD woken = WaitForSingleObject(host->ready, left);
        if (woken == WAIT_FAILED)
            return -2;
        if (woken == WAIT_TIMEOUT && !is_stopped(host))
            return static_cast<int>(take_pending(host, lines, capacity));
        if (woken == WAIT_OBJECT_0 && !is_stopped(host)) {
            size_t last = 0;
            size_t taken = take_pending(host, lines, capacity, &last);
            if (taken > 0 && taken < capacity)
                taken += take_set_beside(host, last, lines + taken, capacity - taken);
            if (taken > 0)
                return static_cast<int>(taken);
        }
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
    free(host->armed.words);
    free(host->pending.words);
    free(host->events);
    free(host->irqs);
    free(host);
}

} // extern "C"
