#include "stop_signals.h"

#include <signal.h>

namespace {

irqhost* stopped_host = nullptr;

void stop_host(int)
{
    irqhost_stop(stopped_host);
}

} // namespace

void stop_on_signals(irqhost* host)
{
    stopped_host = host;
    struct sigaction action {};
    action.sa_handler = stop_host;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}
