#pragma once

#include "socketcalls.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cerrno>
#include <sys/types.h>

namespace pelk {

// Bytes waiting to be written to a stream, in order: what a writer could not
// hand over at once. The one queue of every writer: an endpoint's data, a
// lingering socket's last bytes, a proxy's request.
//
// Bytes are copied in, except that a large rest of a chunk in a shared
// buffer (a loop's read buffer) is kept by sharing the buffer, while the
// queue is empty: a partly sent chunk then costs no copy. An empty queue
// holds no memory.
class SendQueue
{
public:
    // Below this a rest is copied, so that a few bytes never hold a whole
    // shared buffer.
    static constexpr qsizetype ShareMinBytes = 64 * 1024;
    // A long-lived queue drops what it has sent once that is this much and
    // most of what it holds.
    static constexpr qsizetype CompactBytes = 1024 * 1024;

    qsizetype size() const { return m_sharedEnd - m_sharedHead + m_bytes.size() - m_head; }
    bool isEmpty() const { return size() == 0; }

    void append(QByteArrayView bytes);
    // Queues buffer[from, to): by sharing buffer when the queue is empty and
    // the rest is large, else as a copy.
    void appendShared(const QByteArray &buffer, qsizetype from, qsizetype to);
    void clear();

    // Writes what the queue holds to `to` (anything with write() as send()
    // has it) until it would block: 0, or the errno of a failure.
    template <typename Writer>
    int writeTo(Writer &to);

private:
    QByteArrayView front() const
    {
        return m_sharedHead < m_sharedEnd ? QByteArrayView(m_shared).sliced(m_sharedHead, m_sharedEnd - m_sharedHead)
                                          : QByteArrayView(m_bytes).sliced(m_head);
    }
    void consume(qsizetype n);

    QByteArray m_shared; // a shared buffer's rest, always ahead of m_bytes
    qsizetype m_sharedHead = 0;
    qsizetype m_sharedEnd = 0;
    QByteArray m_bytes;
    qsizetype m_head = 0;
};

template <typename Writer>
int SendQueue::writeTo(Writer &to)
{
    while (!isEmpty()) {
        const QByteArrayView bytes = front();
        const ssize_t n = to.write(bytes.data(), size_t(bytes.size()));
        if (n < 0)
            return wouldBlock(errno) ? 0 : errno;
        consume(n);
    }
    return 0;
}

} // namespace pelk
