#pragma once

#include "endpoint.h"
#include "endpointloop.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace pelk {

// An indexed, growing set of endpoints sharing one EndpointLoop, and the
// source of their events. Element 0 exists from construction; elements are
// created with Load() and never removed. Index is 16-bit signed, so the
// highest index is MaxIndex.
class EndpointArray : public QObject, private EndpointEvents
{
    Q_OBJECT
public:
    static constexpr int MaxIndex = 32767;

    explicit EndpointArray(EndpointLoop &loop, QObject *parent = nullptr);
    ~EndpointArray() override;

    Endpoint &operator()(int index) { return *m_items.at(index); }
    const Endpoint &operator()(int index) const { return *m_items.at(index); }
    int UBound() const { return int(m_items.size()) - 1; }

    // Creates the element at index UBound() + 1; false past MaxIndex.
    bool Load(int index);

    EndpointLoop &loop() { return m_loop; }

    // When set, Connect() on these endpoints refuses (SelfConnectError) a
    // host and port that lead to one of the loop's own listeners, as a relay
    // must; off by default, so that a loop may connect to itself on purpose.
    void setRefusingOwnListeners(bool on) { m_refusingOwnListeners = on; }
    bool refusingOwnListeners() const override { return m_refusingOwnListeners; }

    // The data path's own receiver of DataArrival, called directly, before
    // the signal reaches any receiver connected to it: a forwarding step
    // then costs no trip through Qt's signal machinery.
    void setDataArrivalHandler(std::function<void(int Index, qint64 bytesTotal)> handler)
    {
        m_dataArrivalHandler = std::move(handler);
    }

signals:
    // Offered only while one descriptor more than the connection's own is
    // free, so that the handler can open one for it; otherwise the listener
    // pauses (AcceptPaused) and the client waits in the backlog.
    void ConnectionRequest(int Index, qintptr requestID);
    void DataArrival(int Index, qint64 bytesTotal);
    void Connect(int Index);         // connected; or an accepted client's TLS handshake is done
    void Close(int Index);           // the peer finished sending (FIN)
    void Error(int Index, int code, const QString &text, const QString &detail);
    void SendComplete(int Index);    // a non-empty send queue has drained
    void AcceptPaused(int Index, const QString &text); // out of descriptors
    void AcceptResumed(int Index);

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    // EndpointEvents: the endpoints' events, as signals.
    void connectionRequest(int index, qintptr requestID) override { emit ConnectionRequest(index, requestID); }
    void dataArrived(int index, qint64 bytesTotal) override;
    void connected(int index) override { emit Connect(index); }
    void peerFinished(int index) override { emit Close(index); }
    void failed(int index, const EndpointError &error) override
    {
        emit Error(index, error.code, error.text, error.detail);
    }
    void sendComplete(int index) override { emit SendComplete(index); }
    void acceptPaused(int index, const QString &text) override { emit AcceptPaused(index, text); }
    void acceptResumed(int index) override { emit AcceptResumed(index); }

    EndpointLoop &m_loop;
    std::vector<std::unique_ptr<Endpoint>> m_items;
    bool m_refusingOwnListeners = false;
    std::function<void(int, qint64)> m_dataArrivalHandler;
    std::atomic<int> m_dataArrivalReceivers{0}; // connections of DataArrival, or more
};

} // namespace pelk
