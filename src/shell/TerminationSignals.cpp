#include "shell/TerminationSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<int> g_writeEnd{-1};

void onSignal(int signalNumber) {
    const int saved = errno;
    const int fd = g_writeEnd.load();
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Full pipe: a request to end is already waiting, this one adds nothing.
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(std::initializer_list<int> signalNumbers) : signals_(signalNumbers) {
    if (g_writeEnd.load() >= 0) return; // another instance holds the signals
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_writeEnd.store(pipe_[1]);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : signals_)
        ::sigaction(s, &action, nullptr);
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::drain);
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_) return;
    for (int s : signals_)
        ::signal(s, SIG_DFL);
    g_writeEnd.store(-1);
    notifier_.reset();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void TerminationSignals::drain() {
    unsigned char buffer[16];
    for (;;) {
        const ssize_t n = ::read(pipe_[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i)
            emit received(int(buffer[i]));
    }
}
