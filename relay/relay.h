#pragma once

#include "accesspolicy.h"
#include "connectpacer.h"
#include "endpointarray.h"
#include "porttext.h"
#include "relaysettings.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace pelk {

// What a client's pair is doing, as a person would say it (pairStateText()).
enum class PairState {
    WaitingTurn,  // taken in; its server connect waits for its turn
    Connecting,   // its server connect is under way (lookup, TCP, a proxy's step)
    TlsHandshake, // a TLS handshake with the client or the server is under way
    Relaying,     // both sides up, bytes flow both ways
    HalfClosed,   // one side has finished sending; the other direction still flows
    Ending,       // a side has failed or closed; the pair is being taken down
};

// "waiting for its turn", "connecting", "TLS handshake", "relaying",
// "half-closed", "ending".
QString pairStateText(PairState state);

// One client's pair as the relay sees it when asked, for its owner to show.
struct RelayedClient
{
    int slot = 0;
    quint64 serial = 0;    // counts the clients taken in: a later client has a higher one
    QString clientAddress; // "192.0.2.7:50000", "[2001:db8::7]:50000"
    QString server;        // the host and port read for this client, "irc.libera.chat:6697"
    QString proxy;         // the proxy's URL without its password; empty when none
    PairState state = PairState::Connecting;
    // Each side's TLS: empty for plaintext, "TLS" until a version is agreed,
    // then the version ("TLSv1.3").
    QString clientTls;
    QString serverTls;
    qint64 bytesFromClient = 0;
    qint64 bytesFromServer = 0;
    std::chrono::steady_clock::time_point acceptedAt;
    QString notice; // the last thing said of it; empty when nothing was
};

// Clients turned away, and clients that waited their turn before their
// server connect started, since the relay was made.
struct AdmissionCounts
{
    quint64 refused = 0;
    quint64 waited = 0;
    QString lastRefusal; // the address of the latest refusal, and why
};

// Pairs every client accepted on Winsock1(0) with its own upstream
// connection and copies bytes both ways, unchanged.
//
// Each client is first put to the access policy (who may use the relay):
// one it refuses is closed as it is accepted, before anything is read from
// it or sent to it, and takes no slot; admissionsCounted() says so. Its
// server connect then asks the pacer (how fast the relay may knock at a
// server): a client beyond the pace waits its turn, its bytes held as
// before any upstream is up, and one that waits long is told so in IRC's
// words, one NOTICE line before any server byte (the only bytes the relay
// ever writes into a stream). A server that closes after an ERROR saying it
// throttled or banned this address is held off (notice() says so); a
// client that would wait for it more than MaxHeldWaitMs is told why and
// closed, so that its own reconnect timer takes over.
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
// For its owner to show, relayedClient() describes the client of a slot
// (read off the endpoints when asked; the data path only adds to two byte
// counts), and changeCount() says when clients came, went or changed state.
// resetSlot() ends one client at once, as a failure would.
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
    // A waiting client is told why once its wait passes this.
    static constexpr int WaitNoticeAfterMs = 2 * 1000;
    static constexpr int MaxHeldWaitMs = 60 * 1000;
    // The last bytes of each server kept, for its last words.
    static constexpr qsizetype ServerTailBytes = 512;

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
    ConnectPacer pacer;

    // Every text notice() can carry, so that a status line can be sized for
    // the longest.
    static QStringList noticePhrases();

    // Clients whose slot is in use right now.
    int connectedClients() const { return m_connected; }

    // Takes the part of the settings the relay owns: the pinned
    // fingerprints, the client certificate, the listen port's certificate,
    // the proxy, who may connect and the pace, used from the next connect
    // or Listen() on. The three texts are the owner's (upstreamHost, upstreamPort,
    // Winsock1(0)).
    void apply(const RelaySettings &settings);

    // Before the owner's Start listens at place: why it must not (the
    // access policy's words), or none. Not const: the loop makes its TLS
    // context on first use.
    std::optional<EndpointError> startProblem(const ListenText &place);
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

    // Ends the client of slot i at once: both sides are reset, as when its
    // path died, and no other pair is touched. No effect on a free slot.
    void resetSlot(int i);

    // The client in slot i now; none when the slot is free. Cheap: the byte
    // counts are kept as the data passes, the rest is read off the endpoints.
    std::optional<RelayedClient> relayedClient(int i) const;

    // Changes whenever a client is taken in, comes up, finishes sending,
    // fails or ends, or gets a notice, so that whoever shows the clients
    // looks for new and gone ones only then. Byte counts and the steps
    // within a connect (lookup, proxy, TLS) do not change it.
    quint64 changeCount() const { return m_changes; }

    AdmissionCounts admissionCounts() const;

    // From now on, when the computer resumes from sleep (logind's
    // PrepareForSleep on the system bus), every connection is probed at once
    // (EndpointLoop::probeConnections). Without a system bus or logind
    // nothing changes, and nothing is reported.
    void watchForResume();

signals:
    void connectedClientsChanged(int count);
    void notice(const QString &text, const QString &detail);
    // The client of slot `slot` failed: a side's error, a server connect
    // that did not come up, a server setting that cannot be used. Emitted
    // before the slot ends, so that relayedClient(slot) still describes it,
    // with the failure as its notice.
    void clientFailed(int slot);
    // A client was turned away or made to wait its turn: admissionCounts()
    // has changed.
    void admissionsCounted();

private:
    void Winsock1_ConnectionRequest(int Index, qintptr requestID);
    void assignsocket(qintptr requestID);
    void Winsock1_DataArrival(int Index, qint64 bytesTotal);
    void Winsock1_Connect(int Index);
    void requestUpstream(int slot);
    void startUpstream(int slot);
    bool serverIsLocal(const QString &serverHost) const;
    void tellWaiting(int slot, const ConnectPacer::Turn &turn);
    void turnAway(int slot, const QString &why);
    void checkLastWords(int slot);
    bool lastedCalm(int slot) const;
    void Winsock2_Connect(int Index);
    void Winsock2_DataArrival(int Index, qint64 bytesTotal);

    void onFinished(EndpointArray &from, int Index);
    void onError(EndpointArray &from, int Index, int code, const QString &text,
                 const QString &detail);
    void onDrained(EndpointArray &to, int Index);
    QByteArrayView forward(Endpoint &source, Endpoint &destination);
    void endSlot(int i, bool reset);
    void setConnected(int count);
    void recordAccepted(int slot, const QString &host, const QString &port);
    void noteSlot(int slot, const QString &notice);
    void failSlot(int slot, const QString &text, const QString &detail, bool reset);
    // A client whose server connect waits its turn (shown as WaitingTurn
    // until startUpstream() runs for it).
    void beginWait(int slot);
    enum NoticeKind { ListenerNotice, ClientNotice, PacingNotice, NoticeKinds };
    void report(NoticeKind kind, const QString &text, const QString &detail);

    struct Notice
    {
        QString text;
        QString detail;
        quint64 order = 0; // later notices have higher ones
    };

    // What relayedClient() tells beyond the endpoints' own state, one entry
    // per slot, written when a client is taken in.
    struct SlotRecord
    {
        quint64 serial = 0;
        QString host; // as read when the client was taken in
        QString port;
        QString serverHost; // the host alone, trimmed, no brackets; empty when the texts name no server
        QString server; // as shown: "host:port"
        QString pacingKey; // the server and the proxy that reaches it
        QString proxy;
        bool awaitingHandshake = false; // a TLS client's, before its server connect is asked for
        bool clientTls = false;
        bool serverTls = false;
        bool waitingTurn = false;
        std::chrono::steady_clock::time_point acceptedAt;
        qint64 bytesFromClient = 0;
        qint64 bytesFromServer = 0;
        QString notice;
        QHostAddress clientFrom; // as the access policy counts it
        std::chrono::steady_clock::time_point upAt; // when its server connection came up
        QByteArray serverTail; // the server's last bytes, at most ServerTailBytes
    };
    std::vector<SlotRecord> m_slots;
    quint64 m_accepted = 0;
    quint64 m_changes = 0;
    quint64 m_waited = 0;
    std::unique_ptr<QObject> m_resumeWatch;

    int m_connected = 0;
    Notice m_notices[NoticeKinds]; // the current one of each kind; empty text when none
    NoticeKind m_latest = ListenerNotice;
    quint64 m_noticeOrder = 0;
    QSet<QString> m_localNames; // server names a direct connect found on this computer
};

} // namespace pelk
