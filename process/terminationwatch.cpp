#include "terminationwatch.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pelk {

namespace {

constexpr int WatchedSignals[] = {SIGTERM, SIGINT};

// Where the handler writes; -1 while no watch exists.
volatile std::sig_atomic_t handlerPipe = -1;

// Only async-signal-safe calls: one write(), errno kept for the code the
// signal interrupted.
void onSignal(int number)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    const int fd = handlerPipe;
    if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
        // A full pipe already holds a byte that wakes the loop.
    }
    errno = savedErrno;
}

void setAction(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : WatchedSignals)
        sigaction(number, &action, nullptr);
}

} // namespace

TerminationWatch::TerminationWatch(QObject *parent)
    : QObject(parent)
{
    int ends[2];
    if (handlerPipe >= 0 || ::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationWatch::readPipe);
    handlerPipe = m_writeEnd;
    setAction(onSignal);
}

TerminationWatch::~TerminationWatch()
{
    if (!m_notifier)
        return;
    setAction(SIG_DFL);
    handlerPipe = -1;
    m_notifier.reset();
    ::close(m_readEnd);
    ::close(m_writeEnd);
}

void TerminationWatch::readPipe()
{
    unsigned char numbers[16];
    for (ssize_t n; (n = ::read(m_readEnd, numbers, sizeof numbers)) > 0;) {
        for (ssize_t i = 0; i < n; ++i)
            emit received(numbers[i]);
    }
}

} // namespace pelk
