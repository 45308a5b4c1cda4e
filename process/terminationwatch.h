#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace pelk {

// SIGTERM and SIGINT as events of the event loop. The signal handler does
// nothing but write the signal's number to a pipe (the self-pipe trick);
// the pipe's reading end is watched by a QSocketNotifier, and received()
// fires from the loop, where any work is safe.
//
// The handler's pipe belongs to the process, so one watch at a time: while
// one exists, another is not watching (isWatching() false). Destroying the
// watch gives both signals their default action back.
class TerminationWatch : public QObject
{
    Q_OBJECT
public:
    explicit TerminationWatch(QObject *parent = nullptr);
    ~TerminationWatch() override;

    bool isWatching() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readPipe();

    int m_readEnd = -1;
    int m_writeEnd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace pelk
