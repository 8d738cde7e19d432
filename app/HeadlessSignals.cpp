#include "app/HeadlessSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t HandledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void THeadlessSignals::BlockSignals()
{
    const sigset_t set = HandledSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

THeadlessSignals::THeadlessSignals(QObject* parent) : QObject(parent)
{
    const sigset_t set = HandledSignals();
    Fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (Fd < 0) {
        // Nobody would read them: give the signals their default action back.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    Notifier = new QSocketNotifier(Fd, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &THeadlessSignals::ReadSignals);
}

THeadlessSignals::~THeadlessSignals()
{
    delete Notifier;
    if (Fd >= 0)
        ::close(Fd);
    // The signals stay blocked: the program is about to end, and a late SIGTERM must not kill
    // it half-way through its last steps.
}

void THeadlessSignals::ReadSignals()
{
    signalfd_siginfo info{};
    while (::read(Fd, &info, sizeof info) == ssize_t(sizeof info)) {
        const int number = int(info.ssi_signo);
        if (number == SIGHUP)
            emit ReloadRequested();
        else
            emit StopRequested(number);
    }
}
