#include "app/ShutdownSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] read by the notifier. Process-wide, as signals are.
int SignalPipe[2] = {-1, -1};

}  // namespace

void TShutdownSignals::Handler(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means a request is already waiting; losing this byte loses nothing.
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[0], &byte, 1);
    errno = saved;
}

TShutdownSignals::TShutdownSignals(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalPipe) != 0)
        return;  // no pipe, no handlers: the signals keep their default action
    Notifier = new QSocketNotifier(SignalPipe[1], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TShutdownSignals::ReadSignal);

    struct sigaction action {};
    action.sa_handler = &TShutdownSignals::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &OldTerm);
    ::sigaction(SIGHUP, &action, &OldHup);
}

TShutdownSignals::~TShutdownSignals()
{
    if (!Notifier)
        return;
    ::sigaction(SIGTERM, &OldTerm, nullptr);
    ::sigaction(SIGHUP, &OldHup, nullptr);
    delete Notifier;
    Notifier = nullptr;
    ::close(SignalPipe[0]);
    ::close(SignalPipe[1]);
    SignalPipe[0] = SignalPipe[1] = -1;
}

void TShutdownSignals::ReadSignal()
{
    unsigned char byte = 0;
    int last = 0;
    while (::read(SignalPipe[1], &byte, 1) == 1)
        last = byte;
    if (last != 0)
        emit ShutdownRequested(last);
}
