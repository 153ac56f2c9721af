#include "cli/stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace pelvane {

namespace {

volatile std::sig_atomic_t received = 0;

// Only what is safe in a handler: one store.
extern "C" void note_stop_signal(int signal_number)
{
    received = signal_number;
}

}  // namespace

void install_stop_signals()
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = note_stop_signal;
        sigemptyset(&action.sa_mask);
        // Restarted system calls: a signal must not turn a read into a failure.
        action.sa_flags = SA_RESTART;
        sigaction(signal_number, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
}

int stop_signal()
{
    return received;
}

}  // namespace pelvane
