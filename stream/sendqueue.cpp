#include "sendqueue.h"

namespace pelk {

void SendQueue::append(QByteArrayView bytes)
{
    m_bytes.append(bytes);
}

void SendQueue::appendShared(const QByteArray &buffer, qsizetype from, qsizetype to)
{
    if (!isEmpty() || to - from < ShareMinBytes) {
        append(QByteArrayView(buffer).sliced(from, to - from));
        return;
    }
    m_shared = buffer;
    m_sharedHead = from;
    m_sharedEnd = to;
}

void SendQueue::clear()
{
    m_shared = QByteArray();
    m_sharedHead = m_sharedEnd = 0;
    m_bytes = QByteArray();
    m_head = 0;
}

void SendQueue::consume(qsizetype n)
{
    if (m_sharedHead < m_sharedEnd) {
        m_sharedHead += n;
        if (m_sharedHead == m_sharedEnd) {
            m_shared = QByteArray(); // the buffer goes back to whoever still shares it
            m_sharedHead = m_sharedEnd = 0;
        }
        return;
    }
    m_head += n;
    if (m_head == m_bytes.size()) {
        m_bytes = QByteArray(); // an idle connection keeps no buffer
        m_head = 0;
    } else if (m_head > CompactBytes && m_head * 2 > m_bytes.size()) {
        m_bytes.remove(0, m_head);
        m_head = 0;
    }
}

} // namespace pelk
