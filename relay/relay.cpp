#include "relay.h"
#include "resumewatch.h"
#include "tlscontext.h"

#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <utility>

namespace pelk {

namespace {

const QString ConnectedMark = QStringLiteral("1");

// A pair that ended because one side's path died, or its peer never
// finished: the phrase for the status line, by side. Empty for any other
// failure, such as a peer's reset, which is an ordinary end.
QString pathFailure(bool server, int code)
{
    switch (code) {
    case ETIMEDOUT:
        return server ? QStringLiteral("Server not answering") : QStringLiteral("Client not answering");
    case Endpoint::HalfCloseTimeoutError:
        return server ? QStringLiteral("Server did not finish") : QStringLiteral("Client did not finish");
    case Endpoint::AddressRemovedError:
        return socketErrorText(code);
    default:
        return {};
    }
}

// The status line is narrow: an unusable server setting gets a short
// phrase, and the detail (what is wrong with the text) goes to the tooltip.
QString settingProblem(int code)
{
    return code == Endpoint::BadHostError ? QStringLiteral("No server host")
                                          : QStringLiteral("Bad server port");
}

QString durationText(qint64 ms)
{
    const qint64 seconds = (ms + 999) / 1000;
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    return seconds % 60 == 0 ? QStringLiteral("%1 min").arg(seconds / 60)
                             : QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

QString throttledPhrase(qint64 holdMs)
{
    return QStringLiteral("Throttled for %1").arg(durationText(holdMs));
}

// The relay's own lines to a client that has not registered yet, as a
// server words them.
QByteArray noticeLine(const QString &text)
{
    return QStringLiteral(":pelk-bouncer NOTICE * :*** %1\r\n").arg(text).toUtf8();
}

QByteArray errorLine(const QString &text)
{
    return QStringLiteral("ERROR :Closing Link: pelk-bouncer (%1)\r\n").arg(text).toUtf8();
}

// "irc.example.net throttled this address: \"...\"".
QString throttledText(const QString &server, const QString &words)
{
    return QStringLiteral("%1 throttled this address: \"%2\"").arg(server, words);
}

// The server as read for a client, as a person writes it: "host:port",
// "[v6]:port"; the texts quoted when they cannot be used.
QString serverText(const ServerTarget &target, const QString &host, const QString &port)
{
    if (!target.ok())
        return quotedInput(host) + u':' + quotedInput(port);
    const bool v6 = QHostAddress(target.host).protocol() == QAbstractSocket::IPv6Protocol;
    return (v6 ? u'[' + target.host + u']' : target.host) + u':' + QString::number(target.port.port);
}

} // namespace

QString pairStateText(PairState state)
{
    switch (state) {
    case PairState::WaitingTurn: return QStringLiteral("waiting for its turn");
    case PairState::Connecting: return QStringLiteral("connecting");
    case PairState::TlsHandshake: return QStringLiteral("TLS handshake");
    case PairState::Relaying: return QStringLiteral("relaying");
    case PairState::HalfClosed: return QStringLiteral("half-closed");
    case PairState::Ending: return QStringLiteral("ending");
    }
    return QStringLiteral("unknown");
}

Relay::Relay(EndpointLoop::ReactorKind kind, QObject *parent)
    : QObject(parent)
    , loop(kind)
    , Winsock1(loop)
    , Winsock2(loop)
    , pending_data(1)
    , pacer(loop.clock())
{
    access.setAddressWatch(loop.addressWatch());
    pacer.onTurn = [this](int slot) { startUpstream(slot); };
    pacer.onHoldOver = [this](const QString &) { report(PacingNotice, {}, {}); };
    // A server that is this relay's own listener would relay each client
    // back to the relay, without end.
    Winsock2.setRefusingOwnListeners(true);
    connect(&Winsock1, &EndpointArray::ConnectionRequest, this, &Relay::Winsock1_ConnectionRequest);
    Winsock1.setDataArrivalHandler([this](int Index, qint64 bytes) { Winsock1_DataArrival(Index, bytes); });
    connect(&Winsock1, &EndpointArray::Connect, this, &Relay::Winsock1_Connect);
    connect(&Winsock2, &EndpointArray::Connect, this, &Relay::Winsock2_Connect);
    Winsock2.setDataArrivalHandler([this](int Index, qint64 bytes) { Winsock2_DataArrival(Index, bytes); });

    for (EndpointArray *side : {&Winsock1, &Winsock2}) {
        connect(side, &EndpointArray::Close, this, [this, side](int Index) { onFinished(*side, Index); });
        connect(side, &EndpointArray::Error, this,
                [this, side](int Index, int code, const QString &text, const QString &detail) {
                    onError(*side, Index, code, text, detail);
                });
        connect(side, &EndpointArray::SendComplete, this, [this, side](int Index) { onDrained(*side, Index); });
    }
    connect(&Winsock1, &EndpointArray::AcceptPaused, this, [this](int, const QString &text) {
        report(ListenerNotice, text,
               QStringLiteral("New clients wait until descriptors are free again: %1.").arg(text.toLower()));
    });
    connect(&Winsock1, &EndpointArray::AcceptResumed, this, [this](int) { report(ListenerNotice, {}, {}); });
}

Relay::~Relay() = default;

QStringList Relay::noticePhrases()
{
    QStringList phrases = socketErrorPhrases();
    phrases << settingProblem(Endpoint::BadPortError) << settingProblem(Endpoint::BadHostError)
            << QStringLiteral("Too many clients");
    for (const bool server : {false, true}) {
        for (const int code : {int(ETIMEDOUT), int(Endpoint::HalfCloseTimeoutError)})
            phrases << pathFailure(server, code);
    }
    for (const int seconds : {60, 120, 240, 480, 600})
        phrases << throttledPhrase(seconds * 1000);
    return phrases;
}

void Relay::apply(const RelaySettings &settings)
{
    TlsContext &tls = loop.tls();
    tls.setPins(settings.pins);
    tls.setClientIdentity(settings.clientIdentity);
    tls.setServerIdentity(settings.listenIdentity);
    loop.setProxy(settings.proxy);
    pacer.setPace(settings.pace);
    tls.setClientPins(settings.clientPins);
    access.setPinsClients(!settings.clientPins.isEmpty());
    access.setAllowed(settings.allowed);
    access.setMaxPerAddress(settings.maxPerAddress);
}

namespace {

bool beyondThisComputer(const ListenText &place)
{
    return place.scope == ListenScope::Everywhere
           || (place.scope == ListenScope::OneAddress && !QHostAddress(place.address).isLoopback());
}

} // namespace

std::optional<EndpointError> Relay::startProblem(const ListenText &place)
{
    const ProxyUrl *proxy = loop.proxy();
    if (const QString why = proxy ? proxy->isolationProblem() : QString(); !why.isEmpty())
        return failureOf(ProxyIsolationError, why);
    const bool lendsLogin = !loop.tls().clientIdentity().isNull() || (proxy && proxy->hasLogin());
    return access.startProblem(beyondThisComputer(place), place.port.tls, lendsLogin);
}

QString Relay::servedText(const ListenText &place) const
{
    return beyondThisComputer(place) ? access.servedText() : QStringLiteral("Only this computer may connect.");
}

QByteArray Relay::listenCertificateSha256()
{
    return loop.tls().serverIdentity().sha256();
}

QByteArray Relay::clientCertificateSha256()
{
    return loop.tls().clientIdentity().sha256();
}

QString Relay::proxyText() const
{
    const ProxyUrl *proxy = loop.proxy();
    return proxy ? proxy->displayText() : QString();
}

void Relay::Winsock1_ConnectionRequest(int Index, qintptr requestID)
{
    if (Index != 0)
        return;
    // A client the policy refuses is not taken: the listener closes it at
    // once, and it costs no slot.
    if (!access.admit(loop.offeredAddress())) {
        emit admissionsCounted();
        return;
    }
    assignsocket(requestID);
}

void Relay::assignsocket(qintptr requestID)
{
    const int n = Winsock1.UBound();
    int slot = 0;
    for (int i = 1; i <= n; ++i) {
        if (Winsock1(i).State() == SocketState::Closed) {
            slot = i;
            break;
        }
    }
    if (slot == 0) {
        if (n >= EndpointArray::MaxIndex) {
            // Not taking the request closes the connection at once.
            report(ClientNotice, QStringLiteral("Too many clients"),
                   QStringLiteral("All %1 client slots are in use; a new client was turned away.")
                       .arg(EndpointArray::MaxIndex));
            access.refuse(loop.offeredAddress(), QStringLiteral("all %1 client slots are in use").arg(EndpointArray::MaxIndex));
            emit admissionsCounted();
            return;
        }
        slot = n + 1;
        Winsock1.Load(slot);
        Winsock2.Load(slot);
        pending_data.resize(size_t(slot) + 1);
    }

    // A reused slot starts clean: nothing of an earlier client may reach the
    // new client's server, and the new client's first lines must be held.
    Endpoint &client = Winsock1(slot);
    Endpoint &server = Winsock2(slot);
    server.Close();
    server.Tag.clear();
    pending_data[size_t(slot)] = QByteArray();

    if (!client.Accept(requestID))
        return;
    const QString host = upstreamHost ? upstreamHost() : QString();
    const QString port = upstreamPort ? upstreamPort() : QString();
    recordAccepted(slot, host, port);
    setConnected(m_connected + 1);
    if (!client.handshaking())
        requestUpstream(slot);
}

// A TLS client's handshake is done: its upstream may start now.
void Relay::Winsock1_Connect(int Index)
{
    SlotRecord &record = m_slots[size_t(Index)];
    if (!record.awaitingHandshake)
        return;
    record.awaitingHandshake = false;
    ++m_changes;
    requestUpstream(Index);
}

// The client's server connect starts now, or at its turn (the pacer's
// onTurn), or, where the server is held for longer than a client should
// wait, not at all.
void Relay::requestUpstream(int slot)
{
    const SlotRecord &record = m_slots[size_t(slot)];
    // Texts that name no server fail at once, and knock nowhere.
    if (record.serverHost.isEmpty()) {
        startUpstream(slot);
        return;
    }
    const ConnectPacer::Turn turn = pacer.request(record.pacingKey, slot, !serverIsLocal(record.serverHost));
    if (turn.waitMs == 0) {
        startUpstream(slot);
        return;
    }
    if (turn.held && turn.waitMs > MaxHeldWaitMs) {
        turnAway(slot, QStringLiteral("%1; try again in %2")
                           .arg(throttledText(record.server, pacer.heldFor(record.pacingKey)), durationText(turn.waitMs)));
        return;
    }
    beginWait(slot);
    if (turn.waitMs > WaitNoticeAfterMs)
        tellWaiting(slot, turn);
}

// A server on this computer is never paced: a loopback address or one of
// the computer's own, "localhost", or a name a direct connect found here.
// Through a proxy, every server is paced.
bool Relay::serverIsLocal(const QString &host) const
{
    if (loop.proxy())
        return false;
    const QString name = host.toLower();
    if (QHostAddress literal; literal.setAddress(name))
        return loop.ownListeners().isOwnAddress(literal);
    return name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")) || m_localNames.contains(name);
}

// Once, before any server byte, in IRC's own words: IRC clients show a
// server's NOTICE before registration.
void Relay::tellWaiting(int slot, const ConnectPacer::Turn &turn)
{
    const SlotRecord &record = m_slots[size_t(slot)];
    const ConnectPacer::Pace pace = pacer.pace();
    const QString &host = record.serverHost;
    const QString why = turn.held
                            ? throttledText(host, pacer.heldFor(record.pacingKey))
                            : QStringLiteral("%1 takes %2 connections %3 from this address")
                                  .arg(host, QString::number(pace.connects),
                                       pace.windowMs == 60 * 1000 ? QStringLiteral("a minute")
                                                                  : QStringLiteral("in %1").arg(durationText(pace.windowMs)));
    Winsock1(slot).SendData(noticeLine(QStringLiteral("Waiting %1 to connect: %2").arg(durationText(turn.waitMs), why)));
    noteSlot(slot, QStringLiteral("Waiting %1 for its turn: %2").arg(durationText(turn.waitMs), why));
}

// Told why, in IRC's words, and closed, so that its own reconnect timer
// takes over; counted with the clients turned away.
void Relay::turnAway(int slot, const QString &why)
{
    Endpoint &client = Winsock1(slot);
    client.SendData(noticeLine(QStringLiteral("Not connecting: %1").arg(why)));
    client.SendData(errorLine(why));
    access.refuse(m_slots[size_t(slot)].clientFrom, why);
    noteSlot(slot, why);
    closeSlot(slot);
    emit admissionsCounted();
}

void Relay::startUpstream(int slot)
{
    SlotRecord &record = m_slots[size_t(slot)];
    record.waitingTurn = false;
    ++m_changes;
    Endpoint &server = Winsock2(slot);
    if (!server.Connect(record.host, record.port)) {
        const EndpointError error = server.lastError();
        report(ClientNotice, settingProblem(error.code), error.detail);
        failSlot(slot, settingProblem(error.code), error.detail, false);
    }
}

void Relay::Winsock1_DataArrival(int Index, qint64 bytesTotal)
{
    m_slots[size_t(Index)].bytesFromClient += bytesTotal;
    Endpoint &client = Winsock1(Index);
    if (client.State() != SocketState::Connected)
        return;
    Endpoint &server = Winsock2(Index);
    if (server.Tag != ConnectedMark) {
        // Held until the upstream is up; past the mark, the client waits in
        // the kernel instead of in our memory.
        QByteArray &held = pending_data[size_t(Index)];
        held.append(client.GetData());
        if (held.size() > HighWaterBytes)
            client.setReading(false);
        return;
    }
    forward(client, server);
}

void Relay::Winsock2_Connect(int Index)
{
    Endpoint &server = Winsock2(Index);
    Endpoint &client = Winsock1(Index);
    QByteArray &held = pending_data[size_t(Index)];
    if (!held.isEmpty()) {
        server.SendData(held);
        held = QByteArray();
    }
    server.Tag = ConnectedMark;
    SlotRecord &record = m_slots[size_t(Index)];
    record.upAt = std::chrono::steady_clock::now();
    ++m_changes;
    // A name that led to this computer is a local server from now on.
    if (!loop.proxy() && loop.ownListeners().isOwnAddress(server.remoteAddress()) && m_localNames.size() < 64)
        m_localNames.insert(record.serverHost.toLower());
    if (client.peerFinished())
        server.ShutdownSend(); // the client finished while we were connecting
    else if (server.BytesQueued() <= HighWaterBytes)
        client.setReading(true);
    if (!m_notices[ClientNotice].text.isEmpty())
        report(ClientNotice, {}, {});
}

void Relay::Winsock2_DataArrival(int Index, qint64 bytesTotal)
{
    SlotRecord &record = m_slots[size_t(Index)];
    record.bytesFromServer += bytesTotal;
    const QByteArrayView chunk = forward(Winsock2(Index), Winsock1(Index));
    // Its last bytes, for what it says before it closes: one short copy a chunk.
    QByteArray &tail = record.serverTail;
    if (chunk.size() >= ServerTailBytes) {
        tail.resize(ServerTailBytes);
        std::memcpy(tail.data(), chunk.data() + chunk.size() - ServerTailBytes, size_t(ServerTailBytes));
    } else {
        if (tail.size() + chunk.size() > ServerTailBytes)
            tail.remove(0, tail.size() + chunk.size() - ServerTailBytes);
        tail.append(chunk);
    }
}

// One step for both directions once the upstream is up: pass the chunk on,
// and stop reading the source while the destination has too much queued.
QByteArrayView Relay::forward(Endpoint &source, Endpoint &destination)
{
    const QByteArrayView chunk = source.GetData();
    destination.SendData(chunk);
    if (destination.BytesQueued() > HighWaterBytes)
        source.setReading(false);
    return chunk;
}

// A server that closed after saying it throttled or banned this address:
// no new connection goes to it for the pacer's hold, and clients that would
// wait longer than a client should are told and closed.
void Relay::checkLastWords(int slot)
{
    const SlotRecord &record = m_slots[size_t(slot)];
    const QString words = throttleWords(record.serverTail);
    if (words.isEmpty())
        return;
    // A session that has been calm for long enough means the last hold is
    // history: the next one starts short again.
    for (int i = 1; i <= Winsock1.UBound() && size_t(i) < m_slots.size(); ++i) {
        if (m_slots[size_t(i)].pacingKey == record.pacingKey && lastedCalm(i)) {
            pacer.calm(record.pacingKey);
            break;
        }
    }
    const qint64 holdMs = pacer.throttled(record.pacingKey, words);
    if (holdMs == 0)
        return; // held already, for the same burst
    report(PacingNotice, throttledPhrase(holdMs),
           QStringLiteral("%1 closed a connection saying: \"%2\".\nThe relay makes no new connection to it for %3; "
                          "a client meanwhile waits its turn, or, if it would wait more than %4, is told to "
                          "come back later.")
               .arg(record.server, words, durationText(holdMs), durationText(MaxHeldWaitMs)));
    for (const auto &[waitingSlot, turn] : pacer.waiting(record.pacingKey)) {
        if (turn.held && turn.waitMs > MaxHeldWaitMs)
            turnAway(waitingSlot, QStringLiteral("%1; try again in %2")
                                      .arg(throttledText(record.server, words), durationText(turn.waitMs)));
    }
}

void Relay::onDrained(EndpointArray &to, int Index)
{
    if (Index == 0)
        return;
    Endpoint &source = (&to == &Winsock2) ? Winsock1(Index) : Winsock2(Index);
    source.setReading(true);
}

// A FIN is passed on as a half-close; the other direction keeps flowing. The
// slot ends once both peers have finished.
void Relay::onFinished(EndpointArray &from, int Index)
{
    if (Index == 0)
        return;
    Endpoint &client = Winsock1(Index);
    Endpoint &server = Winsock2(Index);
    if (&from == &Winsock2)
        checkLastWords(Index);
    if (client.peerFinished() && server.peerFinished()) {
        closeSlot(Index); // Close() passes on the FIN, with what is still queued
        return;
    }
    if (&from == &Winsock1) {
        noteSlot(Index, QStringLiteral("Client finished sending"));
        if (server.Tag == ConnectedMark)
            server.ShutdownSend();
        // else: sent with the held data once the upstream is up
    } else {
        noteSlot(Index, QStringLiteral("Server finished sending"));
        client.ShutdownSend();
    }
}

void Relay::onError(EndpointArray &from, int Index, int code, const QString &text, const QString &detail)
{
    if (Index == 0)
        return;
    // A client of a TLS listen port that could not, or did not, finish its
    // handshake, or an upstream that never came up: nothing of the client
    // reached the server. The first is reset; the second is told by its
    // connection closing, and the held data has nowhere to go.
    const bool clientHandshakeFailed = &from == &Winsock1 && Winsock1(Index).handshaking();
    if (clientHandshakeFailed && code == Endpoint::ClientNotPinnedError) {
        // Turned away as a stranger is, with what it needs to be pinned.
        access.refuse(m_slots[size_t(Index)].clientFrom, detail);
        endSlot(Index, true);
        emit admissionsCounted();
        return;
    }
    if (clientHandshakeFailed || (&from == &Winsock2 && Winsock2(Index).Tag != ConnectedMark)) {
        report(ClientNotice, text, QStringLiteral("Client %1: %2").arg(QString::number(Index), detail));
        failSlot(Index, text, detail, clientHandshakeFailed);
        return;
    }
    // A reset or failure on an established side: the other side is reset too,
    // so that its peer does not take a cut-off stream for a complete one.
    // A dead path is worth saying: nobody else can tell.
    if (&from == &Winsock2)
        checkLastWords(Index);
    const QString phrase = pathFailure(&from == &Winsock2, code);
    if (!phrase.isEmpty())
        report(ClientNotice, phrase, QStringLiteral("Client %1: %2").arg(QString::number(Index), detail));
    failSlot(Index, phrase.isEmpty() ? text : phrase, detail, true);
}

void Relay::closeSlot(int i)
{
    endSlot(i, false);
}

void Relay::resetSlot(int i)
{
    endSlot(i, true);
}

// The slot's failure is its last notice, for those told of it, before the
// slot ends.
void Relay::failSlot(int slot, const QString &text, const QString &detail, bool reset)
{
    noteSlot(slot, detail.isEmpty() ? text : text + QStringLiteral(": ") + detail);
    emit clientFailed(slot);
    endSlot(slot, reset);
}

std::optional<RelayedClient> Relay::relayedClient(int i) const
{
    if (i < 1 || i > Winsock1.UBound() || size_t(i) >= m_slots.size())
        return std::nullopt;
    const Endpoint &client = Winsock1(i);
    const Endpoint &server = Winsock2(i);
    if (client.State() == SocketState::Closed)
        return std::nullopt;
    const SlotRecord &record = m_slots[size_t(i)];

    RelayedClient described;
    described.slot = i;
    described.serial = record.serial;
    described.clientAddress = client.remoteAddressText();
    described.server = record.server;
    described.proxy = record.proxy;
    described.bytesFromClient = record.bytesFromClient;
    described.bytesFromServer = record.bytesFromServer;
    described.acceptedAt = record.acceptedAt;
    described.notice = record.notice;

    const bool serverUp = server.Tag == ConnectedMark;
    if (client.State() == SocketState::Error || server.State() == SocketState::Error
        || (serverUp && server.State() == SocketState::Closed))
        described.state = PairState::Ending;
    else if (record.waitingTurn)
        described.state = PairState::WaitingTurn;
    else if (client.handshaking() || (!serverUp && server.tlsHandshaking()))
        described.state = PairState::TlsHandshake;
    else if (!serverUp)
        described.state = PairState::Connecting;
    else if (client.peerFinished() || server.peerFinished())
        described.state = PairState::HalfClosed;
    else
        described.state = PairState::Relaying;

    const auto tlsText = [](const Endpoint &side, bool speaksTls) {
        const QString version = side.tlsVersion();
        return !version.isEmpty() || !speaksTls ? version : QStringLiteral("TLS");
    };
    described.clientTls = tlsText(client, record.clientTls);
    described.serverTls = tlsText(server, record.serverTls);
    return described;
}

void Relay::endSlot(int i, bool reset)
{
    if (i < 1 || i > Winsock1.UBound())
        return;
    const bool inUse = Winsock1(i).State() != SocketState::Closed;
    if (inUse) {
        SlotRecord &record = m_slots[size_t(i)];
        if (record.waitingTurn)
            pacer.cancel(i);
        else if (lastedCalm(i))
            pacer.calm(record.pacingKey);
        record.waitingTurn = record.awaitingHandshake = false;
    }
    for (Endpoint *side : {&Winsock1(i), &Winsock2(i)}) {
        if (reset)
            side->Abort();
        else
            side->Close();
    }
    pending_data[size_t(i)] = QByteArray();
    if (inUse) {
        access.release(std::exchange(m_slots[size_t(i)].clientFrom, QHostAddress()));
        ++m_changes;
        setConnected(m_connected - 1);
    }
}

void Relay::recordAccepted(int slot, const QString &host, const QString &port)
{
    if (m_slots.size() <= size_t(slot))
        m_slots.resize(size_t(slot) + 1);
    SlotRecord &record = m_slots[size_t(slot)];
    record = SlotRecord();
    record.serial = ++m_accepted;
    record.host = host;
    record.port = port;
    const ServerTarget target = parseServerTarget(host, port);
    record.serverHost = target.ok() ? target.host : QString();
    record.server = serverText(target, host, port);
    record.proxy = proxyText();
    record.pacingKey = record.server + u' ' + record.proxy;
    record.clientTls = record.awaitingHandshake = Winsock1(slot).handshaking();
    record.serverTls = target.port.tls;
    record.acceptedAt = std::chrono::steady_clock::now();
    record.clientFrom = Winsock1(slot).remoteAddress();
    access.take(record.clientFrom);
    ++m_changes;
}

// Slot's server connection has been up long enough to reset the pacer's holds.
bool Relay::lastedCalm(int slot) const
{
    return Winsock2(slot).Tag == ConnectedMark
           && std::chrono::steady_clock::now() - m_slots[size_t(slot)].upAt
                  >= std::chrono::milliseconds(ConnectPacer::CalmSessionMs);
}

void Relay::noteSlot(int slot, const QString &notice)
{
    m_slots[size_t(slot)].notice = notice;
    ++m_changes;
}

AdmissionCounts Relay::admissionCounts() const
{
    return {access.refusals(), m_waited, access.lastRefusal()};
}

void Relay::beginWait(int slot)
{
    m_slots[size_t(slot)].waitingTurn = true;
    ++m_waited;
    ++m_changes;
    emit admissionsCounted();
}

void Relay::watchForResume()
{
    if (!m_resumeWatch)
        m_resumeWatch = std::make_unique<ResumeWatch>([this] { loop.probeConnections(); });
}

void Relay::setConnected(int count)
{
    if (count == m_connected)
        return;
    m_connected = count;
    emit connectedClientsChanged(count);
}

void Relay::report(NoticeKind kind, const QString &text, const QString &detail)
{
    m_notices[kind] = {text, detail, ++m_noticeOrder};
    if (!text.isEmpty()) {
        m_latest = kind;
    } else if (kind != m_latest) {
        return; // an older notice ended while a later one shows
    } else {
        // The latest of those still current shows again.
        for (int other = 0; other < NoticeKinds; ++other) {
            const Notice &candidate = m_notices[other];
            if (!candidate.text.isEmpty() && (m_notices[m_latest].text.isEmpty() || candidate.order > m_notices[m_latest].order))
                m_latest = NoticeKind(other);
        }
    }
    const Notice &shown = m_notices[m_latest];
    emit notice(shown.text, shown.detail);
}

} // namespace pelk
