#pragma once

#include <pthread.h>

// Holds off pthread_cancel() in this thread while it lives: a call that is
// cancelled halfway would leave descriptors open, a signal mask changed or
// a line half published. The state is the thread's own and is put back as
// it was; no system call is made, so a signal handler may use it too.
struct no_cancellation {
    int before = PTHREAD_CANCEL_ENABLE;
    no_cancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before); }
    ~no_cancellation() { pthread_setcancelstate(before, nullptr); }
    no_cancellation(const no_cancellation&) = delete;
    no_cancellation& operator=(const no_cancellation&) = delete;
};
