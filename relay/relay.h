#pragma once

#include "accesspolicy.h"
#include "endpointarray.h"
#include "porttext.h"
#include "relaysettings.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace pelk {

// Pairs every client accepted on Winsock1(0) with its own upstream
// connection and copies bytes both ways, unchanged.
//
// Each client is first put to the access policy (who may use the relay):
// one it refuses is closed as it is accepted, before anything is read from
// it or sent to it, and takes no slot; refused() says so.
//
// Slot i is the pair (Winsock1(i) client side, Winsock2(i) upstream side).
// A client is accepted into the lowest free slot; its upstream connect starts
// at once, or, for a client of a TLS listen port, once its handshake is done
// (so that a client that never finishes one costs the network nothing). A
// slot is free once both of its endpoints are closed, which happens when both
// directions have ended (FIN forwarded as a half-close), when either side
// fails (the other is aborted), or through closeSlot(). Nothing waits
// forever: a side whose path died (keepalive), or that, after the other
// side's FIN was passed on, sends nothing for the loop's half-close limit
// and does not finish, fails, and the pair is reset.
//
// Client data that arrives before the slot's upstream is up is held in
// pending_data(i) and sent in one piece, ahead of everything else, when the
// upstream comes up. Memory stays bounded: a side whose destination holds
// more than HighWaterBytes is no longer read until that destination drains.
//
// Listening (Winsock1(0)) is started and stopped by the owner. The relay
// reports; it never shows anything: notice() carries a short text for a
// status line (empty when there is nothing to report) and the full detail.
// Each kind of notice ends with its own event: a paused listener's when the
// listener resumes, a client's failure when a later client's upstream comes
// up. While two are current the later one shows, and the other again once
// the later one has ended.
class Relay : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype HighWaterBytes = 256 * 1024;

    explicit Relay(EndpointLoop::ReactorKind kind = EndpointLoop::ReactorKind::Best,
                   QObject *parent = nullptr);
    ~Relay() override;

    // Read for every accepted client, at the moment it is accepted.
    std::function<QString()> upstreamHost;
    std::function<QString()> upstreamPort;

    EndpointLoop loop;
    EndpointArray Winsock1;
    EndpointArray Winsock2;
    std::vector<QByteArray> pending_data; // held client data, one entry per slot
    AccessPolicy access;

    // Every text notice() can carry, so that a status line can be sized for
    // the longest.
    static QStringList noticePhrases();

    // Clients whose slot is in use right now.
    int connectedClients() const { return m_connected; }

    // Takes the part of the settings the relay owns: the pinned
    // fingerprints, the client certificate, the listen port's certificate,
    // the proxy and who may connect, used from the next connect or Listen()
    // on. The three texts are the owner's (upstreamHost, upstreamPort,
    // Winsock1(0)).
    void apply(const RelaySettings &settings);

    // Before the owner's Start listens at place: why it must not (the
    // access policy's words), or none; the refusals counted so far are
    // forgotten.
    std::optional<EndpointError> prepareStart(const ListenText &place);
    // Who may use a listener at place, for a tooltip.
    QString servedText(const ListenText &place) const;

    // What the relay works with, for the owner to show; each empty when
    // there is none. The SHA-256 of the certificate a TLS listener presents
    // (the one given, or the one made at its Listen()) and of the one
    // presented to TLS servers. Not const: the loop makes its TLS context on
    // first use.
    QByteArray listenCertificateSha256();
    QByteArray clientCertificateSha256();
    // The proxy every server is reached through, as its URL without the
    // password.
    QString proxyText() const;

    // Closes both endpoints of slot i gracefully: what either holds queued is
    // still delivered. No effect on a free slot.
    void closeSlot(int i);

    // From now on, when the computer resumes from sleep (logind's
    // PrepareForSleep on the system bus), every connection is probed at once
    // (EndpointLoop::probeConnections). Without a system bus or logind
    // nothing changes, and nothing is reported.
    void watchForResume();

signals:
    void connectedClientsChanged(int count);
    // A client was turned away (access.refusalSummary() says who and why).
    void refused();
    void notice(const QString &text, const QString &detail);

private:
    void Winsock1_ConnectionRequest(int Index, qintptr requestID);
    void assignsocket(qintptr requestID);
    void Winsock1_DataArrival(int Index, qint64 bytesTotal);
    void Winsock1_Connect(int Index);
    void startUpstream(int slot, const QString &host, const QString &port);
    void Winsock2_Connect(int Index);
    void Winsock2_DataArrival(int Index, qint64 bytesTotal);

    void onFinished(EndpointArray &from, int Index);
    void onError(EndpointArray &from, int Index, int code, const QString &text,
                 const QString &detail);
    void onDrained(EndpointArray &to, int Index);
    void forward(Endpoint &source, Endpoint &destination);
    void endSlot(int i, bool reset);
    void setConnected(int count);
    enum NoticeKind { ListenerNotice, ClientNotice, NoticeKinds };
    void report(NoticeKind kind, const QString &text, const QString &detail);

    struct Notice
    {
        QString text;
        QString detail;
    };

    // The server read when a TLS client was accepted, until its handshake is done.
    struct Target
    {
        QString host;
        QString port;
    };
    QHash<int, Target> m_awaitingHandshake;
    std::vector<QHostAddress> m_clientFrom; // each slot's client, as the access policy counts it
    std::unique_ptr<QObject> m_resumeWatch;

    int m_connected = 0;
    Notice m_notices[NoticeKinds]; // the current one of each kind; empty text when none
    NoticeKind m_latest = ListenerNotice;
};

} // namespace pelk
