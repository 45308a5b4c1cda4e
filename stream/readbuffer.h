#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace pelk {

// The buffer the connections of one loop read into, one at a time. A send
// queue may keep a large unsent rest of what was read by sharing the buffer
// (SendQueue::appendShared()); the next read then gets a fresh one, and the
// shared one goes when the queue has sent it.
class ReadBuffer
{
public:
    static constexpr qsizetype Bytes = 1024 * 1024;

    // Room for the next read, Bytes long.
    char *data()
    {
        if (m_bytes.isEmpty() || !m_bytes.isDetached())
            m_bytes = QByteArray(Bytes, Qt::Uninitialized);
        return m_bytes.data();
    }
    static constexpr qsizetype size() { return Bytes; }

    // Whether view lies within the buffer as last read into.
    bool holds(QByteArrayView view) const
    {
        return !m_bytes.isEmpty() && view.data() >= m_bytes.constData()
               && view.data() + view.size() <= m_bytes.constData() + m_bytes.size();
    }
    const QByteArray &bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

} // namespace pelk
