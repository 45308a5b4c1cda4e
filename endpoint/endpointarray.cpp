#include "endpointarray.h"

#include <QMetaMethod>

namespace pelk {

EndpointArray::EndpointArray(EndpointLoop &loop, QObject *parent)
    : QObject(parent)
    , m_loop(loop)
{
    m_items.push_back(std::make_unique<Endpoint>(m_loop, static_cast<EndpointEvents &>(*this), 0));
}

EndpointArray::~EndpointArray() = default;

bool EndpointArray::Load(int index)
{
    if (index != UBound() + 1 || index > MaxIndex)
        return false;
    m_items.push_back(std::make_unique<Endpoint>(m_loop, static_cast<EndpointEvents &>(*this), index));
    return true;
}

void EndpointArray::dataArrived(int index, qint64 bytesTotal)
{
    if (m_dataArrivalHandler)
        m_dataArrivalHandler(index, bytesTotal);
    if (m_dataArrivalReceivers.load(std::memory_order_relaxed) > 0)
        emit DataArrival(index, bytesTotal);
}

// Counts the connections of DataArrival, so that it is emitted only when
// someone listens. A disconnect of every signal at once (an invalid signal)
// leaves the count as it is: too high only costs an emission nobody receives.
void EndpointArray::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&EndpointArray::DataArrival))
        m_dataArrivalReceivers.fetch_add(1, std::memory_order_relaxed);
}

void EndpointArray::disconnectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&EndpointArray::DataArrival))
        m_dataArrivalReceivers.fetch_sub(1, std::memory_order_relaxed);
}

} // namespace pelk
