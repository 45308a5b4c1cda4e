#include "relay.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pelk;

// Test peers on their own loop: element 0 may listen and takes every client
// into a new element; other elements may connect out. Records what each
// element received and how it ended. With echo on, what arrives goes back.
struct Peers
{
    Peers()
        : array(loop)
    {
        QObject::connect(&array, &EndpointArray::ConnectionRequest, &array, [this](int, qintptr id) {
            const int i = add();
            array(i).Accept(id);
        });
        QObject::connect(&array, &EndpointArray::DataArrival, &array, [this](int i, qint64) {
            const QByteArrayView chunk = array(i).GetData();
            received[i].append(chunk);
            if (echo)
                array(i).SendData(chunk);
        });
        QObject::connect(&array, &EndpointArray::Close, &array, [this](int i) {
            finished[i] = true;
            if (closeOnFin)
                array(i).Close();
        });
        QObject::connect(&array, &EndpointArray::Error, &array,
                         [this](int i, int code, const QString &, const QString &) { errors[i] = code; });
    }

    int add()
    {
        array.Load(array.UBound() + 1);
        return array.UBound();
    }

    quint16 listen()
    {
        array(0).setLocalPort(0);
        return array(0).Listen() ? quint16(array(0).LocalPort()) : 0;
    }

    int connectTo(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        const int i = add();
        array(i).Connect(host, QString::number(port));
        return i;
    }

    EndpointLoop loop;
    EndpointArray array;
    QHash<int, QByteArray> received;
    QHash<int, bool> finished;
    QHash<int, int> errors;
    bool echo = false;
    bool closeOnFin = false;
};

// A relay listening on a system-chosen port, sending its clients to `host`
// and `port`, which a test may change between clients.
struct RunningRelay
{
    explicit RunningRelay(quint16 upstream)
        : port(QString::number(upstream))
    {
        relay.upstreamHost = [this] { return host; };
        relay.upstreamPort = [this] { return port; };
        relay.Winsock1(0).setLocalPort(0);
        listening = relay.Winsock1(0).Listen();
    }
    quint16 localPort() { return quint16(relay.Winsock1(0).LocalPort()); }
    bool upstreamUp(int slot) const
    {
        return relay.Winsock2.UBound() >= slot && relay.Winsock2(slot).Tag == QLatin1String("1");
    }

    Relay relay;
    QString host = QStringLiteral("127.0.0.1");
    QString port;
    bool listening = false;
};

// A listener whose accept queue is full, so that a connect to it gets no
// answer until room is made: an upstream that is slow to come up.
struct SlowUpstream
{
    SlowUpstream()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(listener, 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        // Fill the queue; further SYNs are dropped and retried by the sender.
        for (int &f : fillers) {
            f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(f, reinterpret_cast<sockaddr *>(&address), length);
        }
        QTest::qWait(100);
    }
    ~SlowUpstream()
    {
        for (int f : fillers)
            ::close(f);
        ::close(listener);
    }
    // Makes room; the next retried SYN gets through. Returns the relay's
    // connection once it is accepted (-1 if none within the time).
    int admit()
    {
        for (int f : fillers) {
            const int taken = ::accept(listener, nullptr, nullptr);
            if (taken >= 0)
                ::close(taken);
            (void)f;
        }
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired()) {
            QTest::qWait(20);
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const int fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK);
            if (fd >= 0)
                return fd;
        }
        return -1;
    }

    int listener = -1;
    quint16 port = 0;
    int fillers[2] = {-1, -1};
};

// Reads from a plain descriptor until `until` bytes or the time runs out,
// keeping the relay's loop running.
QByteArray readFd(int fd, qsizetype until, int timeoutMs = 10000)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    char buffer[65536];
    while (got.size() < until && !deadline.hasExpired()) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            got.append(buffer, n);
        else if (n == 0)
            break;
        else
            QTest::qWait(5);
    }
    return got;
}

class tst_Relay : public QObject
{
    Q_OBJECT
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
        client.connectToHost(QHostAddress::LocalHost, r.localPort());
        QVERIFY(upstream.waitForNewConnection(5000) || QTest::qWaitFor([&] { return upstream.hasPendingConnections(); }, 5000));
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
        Peers upstream;
        upstream.echo = true;
        RunningRelay r(upstream.listen());
        Peers clients;
        const int a = clients.connectTo(r.localPort());
        const int b = clients.connectTo(r.localPort());
        QTRY_COMPARE(r.relay.connectedClients(), 2);
        const QByteArray fromA = pelktest::randomPayload(2 * 1024 * 1024, 21);
        const QByteArray fromB = pelktest::randomPayload(2 * 1024 * 1024, 22);
        QTRY_COMPARE(clients.array(a).State(), SocketState::Connected);
        QTRY_COMPARE(clients.array(b).State(), SocketState::Connected);
        for (int part = 0; part < 8; ++part) {
            clients.array(a).SendData(QByteArrayView(fromA).sliced(part * 256 * 1024, 256 * 1024));
            clients.array(b).SendData(QByteArrayView(fromB).sliced(part * 256 * 1024, 256 * 1024));
        }
        QTRY_COMPARE_WITH_TIMEOUT(clients.received[a].size(), fromA.size(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(clients.received[b].size(), fromB.size(), 20000);
        QCOMPARE(pelktest::sha256(clients.received[a]), pelktest::sha256(fromA));
        QCOMPARE(pelktest::sha256(clients.received[b]), pelktest::sha256(fromB));
    }

    // Lines sent before the upstream is up are held and arrive first, in
    // order, followed by what the client sends later. A reused slot holds
    // the new client's lines too (its earlier connection must not mark it
    // as already up).
    void heldDataArrivesFirst()
    {
        Peers fastUpstream;
        fastUpstream.closeOnFin = true;
        RunningRelay r(fastUpstream.listen());
        Peers clients;
        const int first = clients.connectTo(r.localPort());
        QTRY_VERIFY(r.upstreamUp(1));
        clients.array(first).Close();
        QTRY_COMPARE(r.relay.connectedClients(), 0);

        SlowUpstream slow;
        r.port = QString::number(slow.port); // read for the next client only
        const int second = clients.connectTo(r.localPort());
        QTRY_COMPARE(r.relay.connectedClients(), 1);
        QCOMPARE(r.relay.Winsock1.UBound(), 1); // the freed slot is reused
        QTRY_COMPARE(clients.array(second).State(), SocketState::Connected);
        clients.array(second).SendData("NICK early\r\n");
        clients.array(second).SendData("USER early 0 * :x\r\n");
        QTRY_COMPARE(r.relay.pending_data[1], QByteArray("NICK early\r\nUSER early 0 * :x\r\n"));
        QVERIFY(r.relay.Winsock2(1).State() != SocketState::Connected);

        const int fd = slow.admit();
        QVERIFY(fd >= 0);
        QTRY_COMPARE(r.relay.Winsock2(1).State(), SocketState::Connected);
        clients.array(second).SendData("JOIN #late\r\n");
        const QByteArray expected = "NICK early\r\nUSER early 0 * :x\r\nJOIN #late\r\n";
        QCOMPARE(readFd(fd, expected.size()), expected);
        QVERIFY(r.relay.pending_data[1].isEmpty());
        ::close(fd);
    }

    // The client sends its request and FIN; the server's reply still arrives,
    // and the slot ends once the server is done too.
    void halfClosedClientGetsReply()
    {
        Peers upstream;
        RunningRelay r(upstream.listen());
        Peers clients;
        const int c = clients.connectTo(r.localPort());
        QTRY_COMPARE(clients.array(c).State(), SocketState::Connected);
        QTRY_VERIFY(r.upstreamUp(1));
        clients.array(c).SendData("QUIT :bye\r\n");
        clients.array(c).ShutdownSend();
        QTRY_VERIFY(upstream.finished.value(1));
        QCOMPARE(upstream.received[1], QByteArray("QUIT :bye\r\n"));

        const QByteArray reply = pelktest::randomPayload(3 * 1024 * 1024, 31);
        upstream.array(1).SendData(reply);
        upstream.array(1).Close();
        QTRY_VERIFY_WITH_TIMEOUT(clients.finished.value(c), 20000);
        QCOMPARE(pelktest::sha256(clients.received[c]), pelktest::sha256(reply));
        QTRY_COMPARE(r.relay.connectedClients(), 0);
        QCOMPARE(r.relay.Winsock1(1).State(), SocketState::Closed);
        QCOMPARE(r.relay.Winsock2(1).State(), SocketState::Closed);
    }

    // The server ends first: its last bytes reach the client, then the
    // client sees the end; the client may still say goodbye.
    void serverCloseDeliversLastBytes()
    {
        Peers upstream;
        RunningRelay r(upstream.listen());
        Peers clients;
        const int c = clients.connectTo(r.localPort());
        QTRY_VERIFY(r.upstreamUp(1));
        QTRY_COMPARE(upstream.array.UBound(), 1);
        const QByteArray last = "ERROR :Closing Link\r\n" + pelktest::randomPayload(1024 * 1024, 41);
        upstream.array(1).SendData(last);
        upstream.array(1).ShutdownSend();
        QTRY_VERIFY_WITH_TIMEOUT(clients.finished.value(c), 10000);
        QCOMPARE(pelktest::sha256(clients.received[c]), pelktest::sha256(last));
        clients.array(c).SendData("late words");
        clients.array(c).Close();
        QTRY_COMPARE(upstream.received[1], QByteArray("late words"));
        QTRY_COMPARE(r.relay.connectedClients(), 0);
    }

    // A reset on either side resets the other and frees the slot; another
    // client is not disturbed.
    void resetPropagates_data()
    {
        QTest::addColumn<bool>("fromServer");
        QTest::newRow("server resets") << true;
        QTest::newRow("client resets") << false;
    }
    void resetPropagates()
    {
        QFETCH(bool, fromServer);
        Peers upstream;
        upstream.echo = true;
        RunningRelay r(upstream.listen());
        Peers clients;
        const int victim = clients.connectTo(r.localPort());
        const int bystander = clients.connectTo(r.localPort());
        QTRY_COMPARE(upstream.array.UBound(), 2);
        QTRY_VERIFY(r.upstreamUp(2));
        if (fromServer) {
            upstream.array(1).Abort();
            QTRY_VERIFY(clients.errors.contains(victim));
            QCOMPARE(clients.errors[victim], ECONNRESET);
        } else {
            clients.array(victim).Abort();
            QTRY_VERIFY(upstream.errors.contains(1));
        }
        QTRY_COMPARE(r.relay.connectedClients(), 1);
        clients.array(bystander).SendData("still here");
        QTRY_COMPARE(clients.received[bystander], QByteArray("still here"));
    }

    // An upstream that cannot be reached closes the client promptly, with
    // the reason in the notice; an unusable port text does so at once.
    void unreachableUpstreamClosesClient_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("notice");
        QTest::newRow("refused") << "127.0.0.1" << "closed" << "Connection refused";
        QTest::newRow("name not found") << "no..such..host" << "6667" << "Host not found";
        QTest::newRow("port not a number") << "127.0.0.1" << "66x" << "Bad server port";
        QTest::newRow("port out of range") << "127.0.0.1" << "70000" << "Bad server port";
        QTest::newRow("empty host") << "" << "6667" << "No server host";
    }
    void unreachableUpstreamClosesClient()
    {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, notice);
        RunningRelay r(pelktest::freeLoopbackPort());
        r.host = host;
        if (port != "closed")
            r.port = port;
        QSignalSpy notices(&r.relay, &Relay::notice);
        Peers clients;
        QElapsedTimer elapsed;
        elapsed.start();
        const int c = clients.connectTo(r.localPort());
        QTRY_VERIFY(clients.array(c).State() == SocketState::Connected || clients.finished.value(c));
        clients.array(c).SendData("NICK lost\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(clients.finished.value(c), 5000);
        QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(!notices.isEmpty());
        QCOMPARE(notices.last().at(0).toString(), notice);
        QTRY_COMPARE(r.relay.connectedClients(), 0);
        QVERIFY(r.relay.pending_data[1].isEmpty());
    }

    // With one descriptor free a client cannot have its upstream: it waits in
    // the backlog, and once a second is free it is relayed with nothing lost.
    void clientWaitsForTwoDescriptors()
    {
        Peers upstream;
        upstream.echo = true;
        QProcess helper;
        QStringList lines;
        connect(&helper, &QProcess::readyReadStandardOutput, &helper, [&] {
            while (helper.canReadLine())
                lines << QString::fromUtf8(helper.readLine()).trimmed();
        });
        helper.start(FDLIMIT_HELPER, {"relay", QString::number(upstream.listen())});
        QTRY_VERIFY_WITH_TIMEOUT(!lines.isEmpty() || helper.state() == QProcess::NotRunning, 10000);
        QVERIFY(lines.value(0).startsWith("listening "));
        Peers clients;
        const int c = clients.connectTo(quint16(lines.at(0).section(' ', 1).toUInt()));
        QTRY_COMPARE(clients.array(c).State(), SocketState::Connected); // in the backlog
        clients.array(c).SendData("NICK x\r\n");
        QTRY_COMPARE(lines.size(), 2); // the listener paused, or the client failed
        QVERIFY2(lines.at(1).startsWith("notice Out of descriptors|New clients wait"), qPrintable(lines.at(1)));
        helper.write("free\n");
        QTRY_COMPARE(clients.received.value(c), QByteArray("NICK x\r\n"));
        QCOMPARE(upstream.received.value(1), QByteArray("NICK x\r\n"));
        QCOMPARE(lines.last(), QString("notice |")); // resumed
        QVERIFY(!clients.finished.value(c));
        helper.closeWriteChannel();
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
    }

    // Without a descriptor for an epoll set the loop falls back to notifiers.
    void loopWithoutEpollFallsBack()
    {
        QProcess helper;
        helper.start(FDLIMIT_HELPER, {"loop"});
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);
        QCOMPARE(helper.readAllStandardOutput(), QByteArray("loop made\n"));
    }

    // A paused listener's notice outlives clients that connect meanwhile and
    // ends when the listener resumes; a client's failure ends when a later
    // client's upstream comes up.
    void noticesEndWithTheirOwnEvent()
    {
        Peers upstream;
        const quint16 upstreamPort = upstream.listen();
        RunningRelay r(upstreamPort);
        QSignalSpy notices(&r.relay, &Relay::notice);
        Peers clients;
        const auto lastNotice = [&] { return notices.isEmpty() ? QString("none") : notices.last().at(0).toString(); };

        emit r.relay.Winsock1.AcceptPaused(0, "Out of descriptors");
        clients.connectTo(r.localPort());
        QTRY_VERIFY(r.upstreamUp(1));
        QCOMPARE(lastNotice(), QString("Out of descriptors"));

        r.port = QString::number(pelktest::freeLoopbackPort());
        const int refused = clients.connectTo(r.localPort());
        QTRY_VERIFY(clients.finished.value(refused));
        QCOMPARE(lastNotice(), QString("Connection refused"));
        emit r.relay.Winsock1.AcceptResumed(0);
        QCOMPARE(lastNotice(), QString("Connection refused"));

        r.port = QString::number(upstreamPort);
        clients.connectTo(r.localPort());
        QTRY_COMPARE(lastNotice(), QString());
    }

    // A client that does not read while the server floods: the relay stops
    // reading the server instead of buffering, and once the client reads,
    // every byte arrives.
    void floodIntoSlowClientStaysBounded()
    {
        constexpr qsizetype Total = 64 * 1024 * 1024;
        constexpr qsizetype Block = 1024 * 1024;
        Peers upstream;
        RunningRelay r(upstream.listen());
        Peers clients;
        const int c = clients.connectTo(r.localPort());
        QTRY_COMPARE(upstream.array.UBound(), 1);
        QTRY_COMPARE(clients.array(c).State(), SocketState::Connected);
        clients.array(c).setReading(false);

        const QByteArray block = pelktest::randomPayload(Block, 51);
        qsizetype sent = 0;
        auto refill = [&] {
            while (sent < Total && upstream.array(1).BytesQueued() < Block) {
                upstream.array(1).SendData(block);
                sent += Block;
            }
        };
        connect(&upstream.array, &EndpointArray::SendComplete, this, refill);
        const qint64 before = pelktest::residentBytes();
        refill();
        QTest::qWait(1500); // let every buffer on the way fill up
        const qint64 grown = pelktest::residentBytes() - before;
        QVERIFY2(sent < Total / 2, qPrintable(QString::number(sent)));
        QVERIFY2(grown < 16 * 1024 * 1024, qPrintable(QString::number(grown)));
        QVERIFY(r.relay.Winsock1(1).BytesQueued() <= Relay::HighWaterBytes + EndpointLoop::ReadBufferBytes);

        QCryptographicHash atClient(QCryptographicHash::Sha256);
        qsizetype got = 0;
        disconnect(&clients.array, &EndpointArray::DataArrival, nullptr, nullptr);
        connect(&clients.array, &EndpointArray::DataArrival, this, [&](int i, qint64) {
            const QByteArrayView chunk = clients.array(i).GetData();
            atClient.addData(chunk);
            got += chunk.size();
        });
        clients.array(c).setReading(true);
        QTRY_COMPARE_WITH_TIMEOUT(got, Total, 60000);
        QCryptographicHash expected(QCryptographicHash::Sha256);
        for (qsizetype i = 0; i < Total / Block; ++i)
            expected.addData(block);
        QCOMPARE(atClient.result(), expected.result());
    }

    // Slots are taken lowest first; a slot is free again once its client
    // and server are both gone, and the count follows.
    void slotsReusedLowestFirst()
    {
        Peers upstream;
        upstream.closeOnFin = true;
        RunningRelay r(upstream.listen());
        QSignalSpy counts(&r.relay, &Relay::connectedClientsChanged);
        Peers clients;
        for (int i = 0; i < 3; ++i)
            clients.connectTo(r.localPort());
        QTRY_COMPARE(r.relay.connectedClients(), 3);
        QCOMPARE(r.relay.Winsock1.UBound(), 3);
        QCOMPARE(r.relay.Winsock2.UBound(), 3);

        clients.array(2).Close();
        QTRY_COMPARE(r.relay.connectedClients(), 2);
        QCOMPARE(r.relay.Winsock1(2).State(), SocketState::Closed);
        QTRY_COMPARE(r.relay.Winsock2(2).State(), SocketState::Closed);

        const int next = clients.connectTo(r.localPort());
        QTRY_COMPARE(r.relay.connectedClients(), 3);
        QCOMPARE(r.relay.Winsock1.UBound(), 3); // slot 2 again, nothing created
        QVERIFY(r.relay.Winsock1(2).State() != SocketState::Closed);
        clients.array(next).SendData("ping");
        QTRY_COMPARE(upstream.received.value(upstream.array.UBound()), QByteArray("ping"));
        QCOMPARE(counts.last().at(0).toInt(), 3);
    }
};

QTEST_GUILESS_MAIN(tst_Relay)
#include "tst_relay.moc"
