#include "app/startup/ProgramSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] read by the notifier. Process-wide, as signals are.
int SignalPipe[2] = {-1, -1};

// The signals of a face, at most three; 0 ends a shorter list.
std::array<int, 3> FaceSignals(TProgramSignals::TFace face)
{
    if (face == TProgramSignals::TFace::Headless)
        return {SIGTERM, SIGHUP, SIGINT};
    return {SIGTERM, SIGHUP, 0};
}

sigset_t SignalSet(TProgramSignals::TFace face)
{
    sigset_t set;
    sigemptyset(&set);
    for (int number : FaceSignals(face))
        if (number != 0)
            sigaddset(&set, number);
    return set;
}

}  // namespace

void TProgramSignals::HoldSignals(TFace face)
{
    const sigset_t set = SignalSet(face);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void TProgramSignals::Handler(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means requests are already waiting; losing this byte loses nothing.
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[0], &byte, 1);
    errno = saved;
}

TProgramSignals::TProgramSignals(TFace face, QObject* parent) : QObject(parent), Face(face)
{
    const sigset_t set = SignalSet(Face);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalPipe) != 0) {
        // No pipe, no handlers: the signals get their default action back.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    Notifier = new QSocketNotifier(SignalPipe[1], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TProgramSignals::ReadSignals);

    struct sigaction action {};
    action.sa_handler = &TProgramSignals::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    const std::array<int, 3> numbers = FaceSignals(Face);
    for (size_t i = 0; i < numbers.size(); ++i)
        if (numbers[i] != 0)
            ::sigaction(numbers[i], &action, &OldActions[i]);
    // Signals held since HoldSignals are delivered now, to the handler.
    ::pthread_sigmask(SIG_UNBLOCK, &set, &OldMask);
}

TProgramSignals::~TProgramSignals()
{
    if (!Notifier)
        return;
    const sigset_t set = SignalSet(Face);
    // Held again first, so no signal finds the old handler half restored.
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const std::array<int, 3> numbers = FaceSignals(Face);
    for (size_t i = 0; i < numbers.size(); ++i)
        if (numbers[i] != 0)
            ::sigaction(numbers[i], &OldActions[i], nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    for (int number : numbers)
        if (number != 0 && !sigismember(&OldMask, number))
            sigaddset(&unblock, number);
    delete Notifier;
    Notifier = nullptr;
    ::close(SignalPipe[0]);
    ::close(SignalPipe[1]);
    SignalPipe[0] = SignalPipe[1] = -1;
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

void TProgramSignals::ReadSignals()
{
    unsigned char byte = 0;
    while (::read(SignalPipe[1], &byte, 1) == 1) {
        const int number = byte;
        if (number == SIGHUP && Face == TFace::Headless)
            emit ReloadRequested();
        else
            emit ShutdownRequested(number);
    }
}
