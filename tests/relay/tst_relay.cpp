#include "addresswatch.h"
#include "peer.h"
#include "relay.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace pelk;
using pelktest::Connection;
using pelktest::NeighbourNetwork;
using pelktest::PrivateNetwork;
using pelktest::RunningRelay;
using pelktest::Server;

namespace {

const QHostAddress loopback(QHostAddress::LocalHost);

// A listener whose accept queue is full, so that a connect to it gets no
// answer until room is made: an upstream that is slow to come up. A queue
// of length 0 is full with one connection in it; the kernel drops further
// SYNs and their senders retry.
struct SlowUpstream
{
    ~SlowUpstream() { ::close(listener); }

    // The filler waits in the queue. (For a listener the kernel reports the
    // queue's length and limit in these two fields.)
    bool full() const
    {
        tcp_info info{};
        socklen_t length = sizeof info;
        return ::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length) == 0
               && info.tcpi_unacked > info.tcpi_sacked;
    }

    // Takes the filler out; the relay's next retried SYN gets through.
    // Returns the relay's connection once accepted (null if none in time).
    std::unique_ptr<Connection> admit()
    {
        const int taken = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (taken >= 0)
            ::close(taken);
        int fd = -1;
        const bool accepted = QTest::qWaitFor(
            [&] { return (fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; }, 15000);
        return accepted ? std::make_unique<Connection>(fd) : nullptr;
    }

    quint16 port = 0;
    int listener = pelktest::listenSocket(loopback, 0, &port);
    std::unique_ptr<Connection> filler = Connection::connectTo(loopback, port);
};

// A bus of the test's own in place of the system bus, where the test plays
// logind: the relay's resume watch connects to it as to the system bus.
struct PrivateSystemBus
{
    PrivateSystemBus()
    {
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                      QStringLiteral("--address=unix:path=") + dir.filePath(QStringLiteral("bus"))});
        if (!daemon.waitForReadyRead(10 * 1000))
            return;
        const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8()); // before the relay's first look at the bus
        logind = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
        ready = logind.registerService(QStringLiteral("org.freedesktop.login1"));
    }
    ~PrivateSystemBus()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
        daemon.kill();
        daemon.waitForFinished();
    }
    void resume()
    {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                                         QStringLiteral("PrepareForSleep"));
        logind.send(signal << false);
    }

    QTemporaryDir dir;
    QProcess daemon;
    QDBusConnection logind{QString()};
    bool ready = false;
};

} // namespace

class tst_Relay : public QObject
{
    Q_OBJECT
public:
    enum Fault { ServerPathDies, ServerPathDiesUnderData, ClientPathDies, AddressRemoved, DuplicateAddressRemoved,
                 DiesAsleep, ServerNeverFinishes, ServerBusyThenQuiet, ClientNeverFinishes };

private slots:
    // Random binary payloads in random chunk sizes, both directions at once,
    // through Qt's own sockets on the outside.
    void payloadsUnchanged_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("64 KiB") << 64 * 1024;
        QTest::newRow("16 MiB") << 16 * 1024 * 1024;
    }
    void payloadsUnchanged()
    {
        QFETCH(int, size);
        QTcpServer upstream;
        QVERIFY(upstream.listen(QHostAddress::LocalHost, 0));
        RunningRelay r(upstream.serverPort());
        QVERIFY(r.listening);

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, r.port());
        QTRY_VERIFY(upstream.hasPendingConnections());
        QTcpSocket *server = upstream.nextPendingConnection();
        QVERIFY(server);
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);

        const QByteArray up = pelktest::randomPayload(size, 11);
        const QByteArray down = pelktest::randomPayload(size, 12);
        QByteArray atServer, atClient;
        connect(server, &QTcpSocket::readyRead, this, [&] { atServer += server->readAll(); });
        connect(&client, &QTcpSocket::readyRead, this, [&] { atClient += client.readAll(); });
        auto *random = QRandomGenerator::global();
        for (qsizetype at = 0; at < size;) {
            const qsizetype n = std::min<qsizetype>(size - at, 1 + random->bounded(300000));
            client.write(up.constData() + at, n);
            server->write(down.constData() + at, n);
            at += n;
        }
        QTRY_COMPARE_WITH_TIMEOUT(atServer.size(), up.size(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(atClient.size(), down.size(), 60000);
        QCOMPARE(pelktest::sha256(atServer), pelktest::sha256(up));
        QCOMPARE(pelktest::sha256(atClient), pelktest::sha256(down));
    }

    // Each client gets its own upstream connection: with an echoing
    // upstream, every client reads back exactly its own bytes.
    void clientsNeverCross()
    {
        Server upstream; // echoes
        RunningRelay r(upstream.port());
        auto a = Connection::connectTo(loopback, r.port());
        auto b = Connection::connectTo(loopback, r.port());
        QTRY_COMPARE(r.relay.connectedClients(), 2);
        const QByteArray fromA = pelktest::randomPayload(2 * 1024 * 1024, 21);
        const QByteArray fromB = pelktest::randomPayload(2 * 1024 * 1024, 22);
        QTRY_VERIFY(a->isConnected());
        QTRY_VERIFY(b->isConnected());
        for (int part = 0; part < 8; ++part) {
            a->send(QByteArrayView(fromA).sliced(part * 256 * 1024, 256 * 1024));
            b->send(QByteArrayView(fromB).sliced(part * 256 * 1024, 256 * 1024));
        }
        QTRY_COMPARE_WITH_TIMEOUT(a->bytesReceived(), fromA.size(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(b->bytesReceived(), fromB.size(), 20000);
        QCOMPARE(a->receivedHash(), pelktest::sha256(fromA));
        QCOMPARE(b->receivedHash(), pelktest::sha256(fromB));
    }

    // Lines sent before the upstream is up are held and arrive first, in
    // order, followed by what the client sends later. A reused slot holds
    // the new client's lines too (its earlier connection must not mark it
    // as already up).
    void heldDataArrivesFirst()
    {
        Server fastUpstream;
        fastUpstream.echo = false;
        RunningRelay r(fastUpstream.port());
        auto first = Connection::connectTo(loopback, r.port());
        QTRY_VERIFY(r.upstreamUp(1));
        first->shutdownSend();
        QTRY_COMPARE(r.relay.connectedClients(), 0);

        SlowUpstream slow;
        QTRY_VERIFY(slow.full());
        r.upstreamPort = QString::number(slow.port); // read for the next client only
        auto second = Connection::connectTo(loopback, r.port());
        QTRY_COMPARE(r.relay.connectedClients(), 1);
        QCOMPARE(r.relay.Winsock1.UBound(), 1); // the freed slot is reused
        QTRY_VERIFY(second->isConnected());
        second->send(QByteArray("NICK early\r\n"));
        second->send(QByteArray("USER early 0 * :x\r\n"));
        QTRY_COMPARE(r.relay.pending_data[1], QByteArray("NICK early\r\nUSER early 0 * :x\r\n"));
        QVERIFY(r.relay.Winsock2(1).State() != SocketState::Connected);

        const std::unique_ptr<Connection> server = slow.admit();
        QVERIFY(server);
        QTRY_COMPARE(r.relay.Winsock2(1).State(), SocketState::Connected);
        second->send(QByteArray("JOIN #late\r\n"));
        const QByteArray expected = "NICK early\r\nUSER early 0 * :x\r\nJOIN #late\r\n";
        QTRY_COMPARE_WITH_TIMEOUT(server->received(), expected, 10000);
        QVERIFY(r.relay.pending_data[1].isEmpty());
    }

    // The client sends its request and FIN; the server's reply still arrives,
    // and the slot ends once the server is done too.
    void halfClosedClientGetsReply()
    {
        Server upstream;
        upstream.echo = false;
        upstream.closeOnFin = false;
        RunningRelay r(upstream.port());
        auto c = Connection::connectTo(loopback, r.port());
        QTRY_VERIFY(c->isConnected());
        QTRY_VERIFY(r.upstreamUp(1));
        c->send(QByteArray("QUIT :bye\r\n"));
        c->shutdownSend();
        QTRY_VERIFY(!upstream.connections.empty() && upstream.connections.front()->peerFinished());
        Connection &server = *upstream.connections.front();
        QCOMPARE(server.received(), QByteArray("QUIT :bye\r\n"));

        const QByteArray reply = pelktest::randomPayload(3 * 1024 * 1024, 31);
        server.send(reply);
        server.shutdownSend();
        QTRY_VERIFY_WITH_TIMEOUT(c->peerFinished(), 20000);
        QCOMPARE(c->receivedHash(), pelktest::sha256(reply));
        QTRY_COMPARE(r.relay.connectedClients(), 0);
        QCOMPARE(r.relay.Winsock1(1).State(), SocketState::Closed);
        QCOMPARE(r.relay.Winsock2(1).State(), SocketState::Closed);
    }

    // The server ends first: its last bytes reach the client, then the
    // client sees the end; the client may still say goodbye.
    void serverCloseDeliversLastBytes()
    {
        Server upstream;
        upstream.echo = false;
        RunningRelay r(upstream.port());
        auto c = Connection::connectTo(loopback, r.port());
        QTRY_VERIFY(r.upstreamUp(1));
        QTRY_COMPARE(upstream.connections.size(), size_t(1));
        Connection &server = *upstream.connections.front();
        const QByteArray last = "ERROR :Closing Link\r\n" + pelktest::randomPayload(1024 * 1024, 41);
        server.send(last);
        server.shutdownSend();
        QTRY_VERIFY_WITH_TIMEOUT(c->peerFinished(), 10000);
        QCOMPARE(c->receivedHash(), pelktest::sha256(last));
        c->send(QByteArray("late words"));
        c->shutdownSend();
        QTRY_COMPARE(server.received(), QByteArray("late words"));
        QTRY_COMPARE(r.relay.connectedClients(), 0);
    }

    // A paused listener's notice outlives clients that connect meanwhile and
    // ends when the listener resumes; a client's failure ends when a later
    // client's upstream comes up.
    void noticesEndWithTheirOwnEvent()
    {
        Server upstream;
        RunningRelay r(upstream.port());
        QSignalSpy notices(&r.relay, &Relay::notice);
        std::vector<std::unique_ptr<Connection>> clients;
        const auto lastNotice = [&] { return notices.isEmpty() ? QString("none") : notices.last().at(0).toString(); };

        emit r.relay.Winsock1.AcceptPaused(0, "Out of descriptors");
        clients.push_back(Connection::connectTo(loopback, r.port()));
        QTRY_VERIFY(r.upstreamUp(1));
        QCOMPARE(lastNotice(), QString("Out of descriptors"));

        r.upstreamPort = QString::number(pelktest::freeLoopbackPort());
        clients.push_back(Connection::connectTo(loopback, r.port()));
        QTRY_VERIFY(clients.back()->peerFinished());
        QCOMPARE(lastNotice(), QString("Connection refused"));
        emit r.relay.Winsock1.AcceptResumed(0);
        QCOMPARE(lastNotice(), QString("Connection refused"));

        r.upstreamPort = QString::number(upstream.port());
        clients.push_back(Connection::connectTo(loopback, r.port()));
        QTRY_COMPARE(lastNotice(), QString());
    }

    // Slots are taken lowest first; a slot is free again once its client
    // and server are both gone, and the count follows.
    void slotsReusedLowestFirst()
    {
        Server upstream;
        upstream.echo = false;
        RunningRelay r(upstream.port());
        QSignalSpy counts(&r.relay, &Relay::connectedClientsChanged);
        std::vector<std::unique_ptr<Connection>> clients;
        for (int i = 0; i < 3; ++i)
            clients.push_back(Connection::connectTo(loopback, r.port()));
        QTRY_COMPARE(r.relay.connectedClients(), 3);
        QCOMPARE(r.relay.Winsock1.UBound(), 3);
        QCOMPARE(r.relay.Winsock2.UBound(), 3);

        clients[1]->shutdownSend();
        QTRY_COMPARE(r.relay.connectedClients(), 2);
        QCOMPARE(r.relay.Winsock1(2).State(), SocketState::Closed);
        QTRY_COMPARE(r.relay.Winsock2(2).State(), SocketState::Closed);

        clients.push_back(Connection::connectTo(loopback, r.port()));
        QTRY_COMPARE(r.relay.connectedClients(), 3);
        QCOMPARE(r.relay.Winsock1.UBound(), 3); // slot 2 again, nothing created
        QVERIFY(r.relay.Winsock1(2).State() != SocketState::Closed);
        clients.back()->send(QByteArray("ping"));
        QTRY_COMPARE(upstream.connections.size(), size_t(4));
        QTRY_COMPARE(upstream.connections.back()->received(), QByteArray("ping"));
        QCOMPARE(counts.last().at(0).toInt(), 3);
    }

    // Who is served on a listen port that admits other computers: by
    // default the computers of this one's networks (the neighbour) and not
    // those beyond (the stranger); --allow's addresses instead; at most
    // --max-per-address clients at once from one of them. A refused client
    // is closed as it is accepted: no slot, no upstream, and the tooltip's
    // summary names it and why.
    void whoIsServed_data()
    {
        QTest::addColumn<bool>("stranger"); // else the neighbour
        QTest::addColumn<QString>("allow"); // --allow, or "" for the default
        QTest::addColumn<int>("cap");
        QTest::addColumn<int>("clients");
        QTest::addColumn<int>("served");
        QTest::addColumn<QString>("reason");
        QTest::newRow("neighbour, by default") << false << "" << 10 << 1 << 1 << "";
        QTest::newRow("stranger, by default") << true << "" << 10 << 1 << 0 << "not on a network of this computer";
        QTest::newRow("stranger, allowed by its range") << true << "198.51.100.0/24, 203.0.113.0/24" << 10 << 1 << 1 << "";
        QTest::newRow("neighbour, not among the allowed") << false << "203.0.113.5" << 10 << 1 << 0
                                                          << "not in the allowed addresses";
        QTest::newRow("stranger, any") << true << "any" << 10 << 1 << 1 << "";
        QTest::newRow("neighbour, one over the cap") << false << "" << 2 << 3 << 2 << "already has 2 clients here";
    }
    void whoIsServed()
    {
        QFETCH(bool, stranger);
        QFETCH(QString, allow);
        QFETCH(int, cap);
        QFETCH(int, clients);
        QFETCH(int, served);
        QFETCH(QString, reason);
        NeighbourNetwork far;
        if (!far.ready())
            QSKIP(qPrintable("No neighbour's network to connect from: " + far.failure()));
        Server upstream;
        RunningRelay r(upstream.port(), [&](Relay &relay) {
            RelaySettings settings;
            if (!allow.isEmpty()) {
                QString error;
                settings.allowed = AllowedAddresses();
                QVERIFY2(settings.allowed->add(allow, &error), qPrintable(error));
            }
            settings.maxPerAddress = cap;
            relay.apply(settings);
            relay.Winsock1(0).setListenAddress(ListenScope::Everywhere);
        });
        QVERIFY(r.listening);
        const QHostAddress from = stranger ? NeighbourNetwork::Stranger : NeighbourNetwork::Neighbour;
        std::vector<std::unique_ptr<Connection>> connections;
        for (int i = 0; i < clients; ++i) {
            connections.push_back(far.connectFrom(from, r.port()));
            QTRY_VERIFY(connections.back()->isConnected() || connections.back()->ended());
        }
        for (int i = 0; i < clients; ++i) {
            Connection &c = *connections[size_t(i)];
            const QByteArray line = "PING :" + QByteArray::number(i) + "\r\n";
            c.send(line);
            if (i < served)
                QTRY_COMPARE(c.received(), line);
            else
                QTRY_VERIFY(c.ended());
        }
        QCOMPARE(r.relay.connectedClients(), served);
        QCOMPARE(r.relay.Winsock1.UBound(), served); // a refused client took no slot
        QCOMPARE(upstream.connections.size(), size_t(served));
        const QString summary = r.relay.access.refusalSummary();
        QCOMPARE(summary.isEmpty(), reason.isEmpty());
        QVERIFY2(reason.isEmpty() || summary.contains(from.toString() + ": " + reason), qPrintable(summary));
    }

    // How fast the relay knocks at a server beyond this computer (the
    // neighbour's): at most the pace's connects in its window, and the rest
    // wait their turn, their lines held, told once in IRC's words; a server
    // that closes saying it throttled this address is held off, the ERROR
    // still reaching its client, and a client that would wait too long for
    // it is told why and closed. A server on this computer is never paced.
    // Pace and holds are shortened.
    void pacedConnects_data()
    {
        QTest::addColumn<QString>("server"); // "far", "throttling" (its first connect), "local"
        QTest::addColumn<int>("holdMs");
        QTest::newRow("beyond the pace, the third waits its turn") << "far" << 0;
        QTest::newRow("throttled, held longer than a client waits") << "throttling" << 120 * 1000;
        QTest::newRow("throttled, held briefly") << "throttling" << 2500;
        QTest::newRow("this computer's server is not paced") << "local" << 0;
    }
    void pacedConnects()
    {
        QFETCH(QString, server);
        QFETCH(int, holdMs);
        NeighbourNetwork far;
        if (!far.ready())
            QSKIP(qPrintable("No neighbour's network for a server beyond this computer: " + far.failure()));
        std::unique_ptr<Server> upstream;
        if (server == "local")
            upstream = std::make_unique<Server>();
        else
            far.visit([&] { upstream = std::make_unique<Server>(NeighbourNetwork::Neighbour); });
        const QByteArray throttle = "ERROR :Closing Link: 10.99.0.1 (Throttled: Reconnecting too fast)\r\n";
        if (server == "throttling") {
            upstream->onAccepted = [&](Connection &c) {
                if (upstream->connections.size() == 1) {
                    c.send(throttle);
                    c.shutdownSend();
                }
            };
        }
        RunningRelay r(upstream->port(), [&](Relay &relay) {
            relay.pacer.setPace({2, 3000});
            relay.pacer.setHolds(0, holdMs, 4 * holdMs);
        });
        r.upstreamHost = upstream->address().toString();
        QSignalSpy notices(&r.relay, &Relay::notice);
        std::vector<std::unique_ptr<Connection>> clients;
        const auto connectClient = [&] {
            clients.push_back(Connection::connectTo(loopback, r.port()));
            clients.back()->send("NICK c" + QByteArray::number(clients.size()) + "\r\n");
        };
        const QByteArray waiting = ":pelk-bouncer NOTICE * :*** Waiting ";

        if (server == "throttling") {
            connectClient();
            QTRY_VERIFY(clients[0]->peerFinished());
            QCOMPARE(clients[0]->received(), throttle); // unchanged, to its own client
            QTRY_VERIFY(!notices.isEmpty() && notices.last().at(0).toString().startsWith("Throttled for "));
            QVERIFY(notices.last().at(1).toString().contains("Throttled: Reconnecting too fast"));
            connectClient();
            if (holdMs > Relay::MaxHeldWaitMs) {
                QTRY_VERIFY(clients[1]->ended());
                QVERIFY2(clients[1]->received().contains("Reconnecting too fast)\"; try again in 2 min\r\nERROR :Closing Link: pelk-bouncer ("),
                         clients[1]->received().constData());
                QCOMPARE(upstream->connections.size(), size_t(1));
                QCOMPARE(r.relay.admissionCounts().refused, quint64(1));
                return;
            }
            QTRY_VERIFY(clients[1]->received().startsWith(waiting));
            QVERIFY(clients[1]->received().contains("throttled this address"));
            QTRY_COMPARE_WITH_TIMEOUT(upstream->connections.size(), size_t(2), 10000);
            QTRY_VERIFY(clients[1]->received().endsWith("NICK c2\r\n"));
            return;
        }
        for (int i = 0; i < 3; ++i)
            connectClient();
        if (server == "local") {
            QTRY_COMPARE(upstream->connections.size(), size_t(3));
            QCOMPARE(r.relay.admissionCounts().waited, quint64(0));
            return;
        }
        QTRY_COMPARE(upstream->connections.size(), size_t(2));
        QTRY_VERIFY(clients[2]->received().startsWith(waiting));
        QVERIFY(clients[2]->received().contains("takes 2 connections in 3 s from this address"));
        QCOMPARE(r.relay.relayedClient(3)->state, PairState::WaitingTurn);
        QTRY_COMPARE_WITH_TIMEOUT(upstream->connections.size(), size_t(3), 10000);
        QTRY_VERIFY(clients[2]->received().endsWith("NICK c3\r\n")); // held, then sent
        QCOMPARE(r.relay.admissionCounts().waited, quint64(1));
    }

    // Nothing waits forever: a pair whose one side's path died, or whose one
    // side never finishes after the other's FIN, is reset by itself, and the
    // status says why. Paths die in a network namespace of the test's own,
    // with nftables dropping one port's packets; the limits are shortened.
    void pairEndsByItself_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("notice");
        QTest::newRow("server's path dead, idle") << int(ServerPathDies) << "Server not answering";
        QTest::newRow("server's path dead, data unacknowledged") << int(ServerPathDiesUnderData) << "Server not answering";
        QTest::newRow("client's path dead") << int(ClientPathDies) << "Client not answering";
        QTest::newRow("server's address removed") << int(AddressRemoved) << "Address removed";
        QTest::newRow("server's address removed, kept by another entry until that goes too")
                << int(DuplicateAddressRemoved) << "Address removed";
        QTest::newRow("server's path died asleep") << int(DiesAsleep) << "Server not answering";
        QTest::newRow("client finished, server never does") << int(ServerNeverFinishes) << "Server did not finish";
        QTest::newRow("client finished, server busy past the limit, then quiet")
                << int(ServerBusyThenQuiet) << "Server did not finish";
        QTest::newRow("server finished, client never does") << int(ClientNeverFinishes) << "Client did not finish";
    }
    void pairEndsByItself()
    {
        QFETCH(int, fault);
        QFETCH(QString, notice);
        PrivateNetwork network;
        if (!network.entered())
            QSKIP(qPrintable("No private network to kill a path in: " + network.failure()));
        std::unique_ptr<PrivateSystemBus> bus;
        if (fault == DiesAsleep) {
            bus = std::make_unique<PrivateSystemBus>();
            if (!bus->ready)
                QSKIP("No private bus to play logind on: is dbus-daemon installed?");
        }
        const bool addressRemoved = fault == AddressRemoved || fault == DuplicateAddressRemoved;
        const QHostAddress serverAddress(addressRemoved ? QStringLiteral("192.0.2.1") : QStringLiteral("127.0.0.1"));
        if (addressRemoved)
            QVERIFY(network.run("ip", {"address", "add", "192.0.2.1/32", "dev", "lo"}));
        if (fault == DuplicateAddressRemoved)
            QVERIFY(network.run("ip", {"address", "add", "192.0.2.1/24", "dev", "lo"}));
        Server upstream(serverAddress);
        upstream.closeOnFin = fault != ServerNeverFinishes && fault != ServerBusyThenQuiet;
        Server live;
        // The idle row probes; the unacknowledged one only limits how long
        // data may wait, and the asleep one probes only after the resume.
        const KeepAlive quick{1, 1, 2000};
        const KeepAlive normal = fault == ServerPathDiesUnderData ? KeepAlive{60, 60, 2000}
                                 : fault == DiesAsleep            ? EndpointLoop::DeadPathKeepAlive
                                                                  : quick;
        // A busy stream is paced well inside its limit, so that a slow pass
        // of a loaded machine is not taken for quiet.
        const int halfCloseMs = fault == ServerBusyThenQuiet ? 1500 : 300;
        RunningRelay r(upstream.port(), [&](Relay &relay) {
            relay.loop.setKeepAlive(normal, quick, 60 * 1000);
            relay.loop.setHalfCloseTimeoutMs(halfCloseMs);
            if (bus)
                relay.watchForResume();
        });
        r.upstreamHost = serverAddress.toString();
        QSignalSpy notices(&r.relay, &Relay::notice);
        auto client = Connection::connectTo(loopback, r.port());
        client->closeOnFin = fault != ClientNeverFinishes;
        QTRY_COMPARE(upstream.connections.size(), size_t(1));
        Connection &server = *upstream.connections.front();
        client->send(QByteArray("PING :alive\r\n"));
        QTRY_COMPARE(client->received(), QByteArray("PING :alive\r\n"));
        std::unique_ptr<Connection> liveClient;
        if (fault == DiesAsleep) {
            r.upstreamPort = QString::number(live.port());
            liveClient = Connection::connectTo(loopback, r.port());
            QTRY_VERIFY(r.upstreamUp(2));
        }

        switch (fault) {
        case ServerPathDies:
        case DiesAsleep:
            QVERIFY(network.drop(upstream.port()));
            break;
        case ServerPathDiesUnderData:
            QVERIFY(network.drop(upstream.port()));
            client->send(QByteArray("PRIVMSG #lost :never acknowledged\r\n"));
            break;
        case ClientPathDies:
            QVERIFY(network.drop(r.port()));
            break;
        case DuplicateAddressRemoved: {
            // lo still has it: the connection goes on.
            const auto entries = [&] {
                const auto &all = r.relay.loop.addressWatch()->addresses();
                return std::count_if(all.cbegin(), all.cend(), [&](const LocalAddress &a) { return a.address == serverAddress; });
            };
            QTRY_COMPARE(entries(), 2);
            QVERIFY(network.run("ip", {"address", "del", "192.0.2.1/32", "dev", "lo"}));
            QTRY_COMPARE(entries(), 1);
            client->send(QByteArray("PING :kept\r\n"));
            QTRY_VERIFY(client->received().endsWith("PING :kept\r\n"));
            QVERIFY(network.run("ip", {"address", "del", "192.0.2.1/24", "dev", "lo"}));
            break;
        }
        case AddressRemoved:
            QVERIFY(network.run("ip", {"address", "del", "192.0.2.1/32", "dev", "lo"}));
            break;
        case ServerNeverFinishes:
            client->shutdownSend();
            break;
        case ServerBusyThenQuiet: {
            // A line every tenth of the limit, for more than twice the limit.
            client->shutdownSend();
            QTRY_VERIFY(server.peerFinished());
            constexpr int Lines = 35;
            int sent = 0;
            QTimer pace;
            connect(&pace, &QTimer::timeout, this, [&] {
                if (sent < Lines)
                    server.send(QByteArray("322 #c") + QByteArray::number(sent++) + "\r\n");
            });
            pace.start(halfCloseMs / 10);
            const QByteArray last = "322 #c" + QByteArray::number(Lines - 1) + "\r\n";
            QTRY_VERIFY_WITH_TIMEOUT(client->received().endsWith(last) || !client->isOpen(), 20000);
            QVERIFY2(client->isOpen(), "reset while the server was still sending");
            break;
        }
        case ClientNeverFinishes:
            server.shutdownSend();
            break;
        }
        // The side still reachable learns of the end by a reset. The resume
        // signal is sent again until the relay has heard it.
        Connection &survivor = fault == ClientPathDies || fault == ClientNeverFinishes ? server : *client;
        for (int i = 0; bus && i < 10 && survivor.isOpen(); ++i) {
            bus->resume();
            (void)QTest::qWaitFor([&] { return !survivor.isOpen(); }, 2000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!survivor.isOpen(), 20000);
        QCOMPARE(survivor.error(), ECONNRESET);
        QTRY_COMPARE(r.relay.connectedClients(), fault == DiesAsleep ? 1 : 0);
        QCOMPARE(notices.last().at(0).toString(), notice);
        if (liveClient) {
            liveClient->send(QByteArray("PING :still here\r\n"));
            QTRY_COMPARE(liveClient->received(), QByteArray("PING :still here\r\n"));
        }
    }
};

PELKTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
