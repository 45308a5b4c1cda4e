#include "notifierreactor.h"

namespace pelk {

int NotifierReactor::watch(int fd, ReadyHandler *handler, unsigned interest)
{
    if (fd >= int(m_watches.size()))
        m_watches.resize(size_t(fd) + 1);
    Watch &w = m_watches[size_t(fd)];
    w = {};
    w.handler = handler;
    w.read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    w.write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    QObject::connect(w.read.get(), &QSocketNotifier::activated, w.read.get(), [this, fd] { dispatch(fd, true, false); });
    QObject::connect(w.write.get(), &QSocketNotifier::activated, w.write.get(), [this, fd] { dispatch(fd, false, true); });
    return setInterest(fd, interest);
}

int NotifierReactor::setInterest(int fd, unsigned interest)
{
    if (fd < 0 || fd >= int(m_watches.size()) || !m_watches[size_t(fd)].handler)
        return 0;
    Watch &w = m_watches[size_t(fd)];
    w.read->setEnabled(interest & Read);
    w.write->setEnabled(interest & Write);
    return 0;
}

void NotifierReactor::setHandler(int fd, ReadyHandler *handler)
{
    if (fd >= 0 && fd < int(m_watches.size()) && m_watches[size_t(fd)].handler)
        m_watches[size_t(fd)].handler = handler;
}

void NotifierReactor::unwatch(int fd)
{
    if (fd < 0 || fd >= int(m_watches.size()))
        return;
    Watch &w = m_watches[size_t(fd)];
    // The notifiers may be the ones whose signal is being delivered right
    // now: disable them at once, delete them once control is back in the
    // event loop.
    for (auto *n : {w.read.release(), w.write.release()}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    w.handler = nullptr;
}

void NotifierReactor::dispatch(int fd, bool readable, bool writable)
{
    if (ReadyHandler *h = m_watches[size_t(fd)].handler)
        h->onReady(fd, readable, writable, false);
}

} // namespace pelk
