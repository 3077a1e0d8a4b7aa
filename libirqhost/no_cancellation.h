#pragma once

#include <pthread.h>

// Holds off pthread_cancel() in this thread while it lives: a call that is
// cancelled halfway would leave descriptors open, a signal mask changed or
// a line half published. The state is the thread's own and is put back as
// it was; no system call is made, so a signal handler may use it too.
class no_cancellation {
public:
    no_cancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before_); }
    ~no_cancellation() { pthread_setcancelstate(before_, nullptr); }
    no_cancellation(const no_cancellation&) = delete;
    no_cancellation& operator=(const no_cancellation&) = delete;

private:
    int before_ = PTHREAD_CANCEL_ENABLE;
};
