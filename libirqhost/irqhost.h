/* libirqhost: the simulation host's side of bellTap's interrupt events, and
 * the trigger's as a call.
 *
 * A host publishes one event per interrupt line, named "OSirq" and the line
 * number ("OSirq3"), waits for bellTap to set them and withdraws them when it
 * ends. On Linux an event is a FIFO at /dev/shm/OSirqN (docs/event-format.md
 * and irqhost(3) describe the format); on Windows it is a kernel32 named
 * event. A host's lines behave as automatic-reset events: a wait that reports
 * a line resets it, and triggers that come before the report count as one.
 * (On Windows the host's own events are manual-reset ones, which it resets
 * as it reports them, so that a set is never used up unreported.)
 *
 * The functions of one host may be called from any thread, but only one
 * thread at a time may wait; irqhost_stop may be called at any time.
 */
#ifndef IRQHOST_H
#define IRQHOST_H

#include <stddef.h>
#include <stdint.h>

/* Linking: the shared library (libirqhost.so.1, irqhost.dll) by default. A
 * program that links the static library defines IRQHOST_STATIC (the CMake
 * target irqhost::irqhost_static does so for it). */
#if defined(IRQHOST_STATIC) && defined(IRQHOST_BUILDING)
#error "IRQHOST_STATIC and IRQHOST_BUILDING contradict each other"
#elif defined(IRQHOST_STATIC)
#define IRQHOST_API
#elif defined(_WIN32) && defined(IRQHOST_BUILDING)
#define IRQHOST_API __declspec(dllexport)
#elif defined(_WIN32)
#define IRQHOST_API __declspec(dllimport)
#elif defined(__GNUC__)
#define IRQHOST_API __attribute__((visibility("default")))
#else
#define IRQHOST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A host and the lines it publishes. */
typedef struct irqhost irqhost;

/* Once the most lines a host published on Windows; kept so that code which
 * names it still builds. It is no longer a limit: a host publishes any
 * number of lines on every platform (up to the memory and handles or
 * descriptors they take). */
#define IRQHOST_WINDOWS_MAX_LINES 63

/* Publishes OSirq<line> for each of `lines[0..count)`, unsignalled; all of
 * them or none. On POSIX each FIFO gets exactly `mode` (0 to 07777; the umask
 * does not apply); on Windows the events get default security and `mode` is
 * unused. Returns NULL on failure and writes a one-line reason into `why`
 * (when not NULL; cut to `why_size` bytes, zero-terminated), naming the line
 * where there is one: "OSirq5: a running host already publishes it"; on
 * success `why` is left empty. */
IRQHOST_API irqhost *irqhost_open(const uint32_t *lines, size_t count, unsigned mode, char *why, size_t why_size);

/* Waits up to `timeout_ms` milliseconds (-1 forever, 0 just looks) for at
 * least one line to be set. Resets the lines it reports, writes them to
 * `lines[0..n)` with n <= `capacity` and returns n: 0 on timeout, -1 once
 * irqhost_stop was called (and from then on), -2 on a system error (errno, or
 * GetLastError on Windows, says which; a `capacity` of 0 is EINVAL). Lines set
 * beyond `capacity` stay set for the next call. */
IRQHOST_API int irqhost_wait(irqhost *host, int timeout_ms, uint32_t *lines, size_t capacity);

/* Ends a wait in progress and every later one (they return -1). Safe to call
 * from a signal handler and from any thread, more than once. */
IRQHOST_API void irqhost_stop(irqhost *host);

#ifdef _WIN32
/* One event (a HANDLE) that is signalled while any line is set or after a
 * stop: wait on it among your own handles (WaitForMultipleObjects,
 * MsgWaitForMultipleObjects), then call irqhost_wait(host, 0, ...). Owned by
 * the host; do not close, set or reset it. */
IRQHOST_API void *irqhost_handle(const irqhost *host);
#else
/* One descriptor that polls readable while any line is set or after a stop:
 * put it in your own poll, epoll or select loop, then call
 * irqhost_wait(host, 0, ...). Owned by the host; do not read or close it. */
IRQHOST_API int irqhost_descriptor(const irqhost *host);
#endif

/* Sets OSirq<line> of a running host, as bellTap does. Returns 0 when set,
 * -1 when it cannot be opened (errno, or GetLastError on Windows, says why:
 * ENOENT or ENXIO, no host publishes the line; EACCES, the caller may not
 * read and write it). Never creates an event, never blocks, never raises
 * SIGPIPE and leaves the signal mask and dispositions as they were.
 * Thread-safe, and async-signal-safe on POSIX (no stdio, no allocation, no
 * lock; errno is left as it was when it returns 0): a timer's signal
 * handler may raise lines. A host may raise its own lines. */
IRQHOST_API int irqhost_raise(uint32_t line);

/* Withdraws every line (on POSIX, removes only FIFOs that are still this
 * host's own) and frees the host. NULL is ignored. Not while another thread
 * waits on the host: stop it, let the wait return, then close. On Windows
 * not from DllMain, and before the module that holds the host is unloaded. */
IRQHOST_API void irqhost_close(irqhost *host);

/* A line prepared to be raised many times at the cost of one write. */
typedef struct irqhost_line irqhost_line;

/* Prepares OSirq<irq> of a running host to be raised, checking what
 * irqhost_raise checks. Returns NULL when it cannot be raised now, with errno
 * (ENOENT or ENXIO: no host publishes it; EACCES: the caller may not read and
 * write it; EMFILE, ENOMEM) and a one-line reason in `why`, as irqhost_open
 * writes one; on success `why` is left empty. On Windows GetLastError says
 * why, and the line holds no handle of the event. */
IRQHOST_API irqhost_line *irqhost_line_open(uint32_t irq, char *why, size_t why_size);

/* Sets the line: 0 when it is set (or was already), else -1 with errno
 * (GetLastError on Windows): ENOENT or ENXIO, no host publishes it now;
 * EACCES; EMFILE. The line stays usable after any failure and raises again
 * once a host publishes it again. Never blocks and never raises SIGPIPE (the
 * signal mask, dispositions and pending signals stay as they were); errno is
 * left as it was when it returns 0. Safe from several threads on one line and
 * from a signal handler. On Linux it holds a descriptor open for writing
 * alone (which keeps no dead line looking live), and at most every 100 ms it
 * also looks whether its path still names the FIFO it holds. */
IRQHOST_API int irqhost_line_raise(irqhost_line *line);

/* Closes the line; NULL is ignored. Not while another thread raises it. */
IRQHOST_API void irqhost_line_close(irqhost_line *line);

#ifdef __cplusplus
}
#endif

#endif
