#include "connector.h"
#include "endpointarray.h"
#include "testsupport.h"

#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

using namespace pelk;

// A listening array (element 0 listens, element 1 takes the first client) and
// a connecting array (element 1 connects), on one loop, with what each side
// received collected per array.
struct Pair
{
    explicit Pair(EndpointLoop::ReactorKind kind)
        : loop(kind), listening(loop), connecting(loop)
    {
        listening.Load(1);
        connecting.Load(1);
        QObject::connect(&listening, &EndpointArray::ConnectionRequest, &listening,
                         [this](int, qintptr id) { listening(1).Accept(id); });
        for (auto [array, into] : {std::pair{&listening, &atListener}, std::pair{&connecting, &atConnector}}) {
            QObject::connect(array, &EndpointArray::DataArrival, array,
                             [array, into](int i, qint64) { into->append((*array)(i).GetData()); });
        }
    }

    bool open(const QString &host)
    {
        if (!listening(0).Listen())
            return false;
        QSignalSpy connected(&connecting, &EndpointArray::Connect);
        if (!connecting(1).Connect(host, QString::number(listening(0).LocalPort())))
            return false;
        return connected.wait(5000) && QTest::qWaitFor([&] { return listening(1).State() == SocketState::Connected; }, 5000);
    }

    Endpoint &server() { return listening(1); }
    Endpoint &client() { return connecting(1); }

    EndpointLoop loop;
    EndpointArray listening;
    EndpointArray connecting;
    QByteArray atListener;
    QByteArray atConnector;
};

class tst_Endpoint : public QObject
{
    Q_OBJECT
private:
    EndpointLoop::ReactorKind kind() const
    {
        QFETCH_GLOBAL(EndpointLoop::ReactorKind, reactor);
        return reactor;
    }

private slots:
    void initTestCase_data()
    {
        QTest::addColumn<EndpointLoop::ReactorKind>("reactor");
        QTest::newRow("epoll") << EndpointLoop::ReactorKind::Best;
        QTest::newRow("notifiers") << EndpointLoop::ReactorKind::Portable;
    }

    void bytesBothWaysUnchanged_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("size");
        QTest::newRow("ipv4 every byte value") << "127.0.0.1" << 256 * 4;
        QTest::newRow("ipv6 bracketed, 3 MiB") << "[::1]" << 3 * 1024 * 1024 + 7;
        QTest::newRow("name, 1 byte") << "localhost" << 1;
        QTest::newRow("ipv6 with blanks, 1 MiB") << " ::1 " << 1024 * 1024;
    }
    void bytesBothWaysUnchanged()
    {
        QFETCH(QString, host);
        QFETCH(int, size);
        Pair pair(kind());
        QVERIFY(pair.open(host));
        QByteArray up = pelktest::randomPayload(size, 1);
        for (int i = 0; i < 256 && i < size; ++i)
            up[i] = char(i); // NUL, CR, LF and the high half included
        const QByteArray down = pelktest::randomPayload(size, 2);
        pair.client().SendData(up);
        pair.server().SendData(down);
        QTRY_COMPARE_WITH_TIMEOUT(pair.atListener.size(), up.size(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(pair.atConnector.size(), down.size(), 20000);
        QCOMPARE(pelktest::sha256(pair.atListener), pelktest::sha256(up));
        QCOMPARE(pelktest::sha256(pair.atConnector), pelktest::sha256(down));
    }

    // The client sends its request and its FIN; the reply still arrives.
    void halfCloseStillReceives()
    {
        Pair pair(kind());
        QVERIFY(pair.open("127.0.0.1"));
        QSignalSpy serverSawFin(&pair.listening, &EndpointArray::Close);
        QSignalSpy clientSawFin(&pair.connecting, &EndpointArray::Close);
        pair.client().SendData("request");
        pair.client().ShutdownSend();
        QVERIFY(serverSawFin.wait(5000));
        QCOMPARE(pair.atListener, QByteArray("request"));
        QCOMPARE(pair.server().State(), SocketState::Closing);

        const QByteArray reply = pelktest::randomPayload(600 * 1024, 3);
        pair.server().SendData(reply);
        pair.server().Close();
        QCOMPARE(pair.server().State(), SocketState::Closed);
        QVERIFY(clientSawFin.wait(10000));
        QCOMPARE(pelktest::sha256(pair.atConnector), pelktest::sha256(reply));
        QCOMPARE(pair.client().State(), SocketState::Closing);
    }

    // Close() with a queue the peer has not read yet: State is 0 at once, and
    // every byte still arrives, followed by a clean end.
    void gracefulCloseDeliversQueuedMegabyte()
    {
        Pair pair(kind());
        QVERIFY(pair.open("127.0.0.1"));
        pair.client().setReading(false);
        const QByteArray data = pelktest::randomPayload(16 * 1024 * 1024, 4);
        pair.server().SendData(data);
        QVERIFY(pair.server().BytesQueued() > 0); // more than the kernel buffers take
        pair.server().Close();
        QCOMPARE(pair.server().State(), SocketState::Closed);
        QCOMPARE(pair.loop.lingeringCount(), 1);

        QSignalSpy fin(&pair.connecting, &EndpointArray::Close);
        pair.client().setReading(true);
        QVERIFY(fin.wait(20000));
        QCOMPARE(pair.atConnector.size(), data.size());
        QCOMPARE(pelktest::sha256(pair.atConnector), pelktest::sha256(data));
        pair.client().Close();
        QTRY_COMPARE(pair.loop.lingeringCount(), 0);
    }

    // A lingering socket whose peer resets is done with at once; one whose
    // peer neither reads nor closes is reset at the linger limit.
    void lingeringEndsOnResetOrAtItsLimit()
    {
        for (const bool peerResets : {true, false}) {
            Pair pair(kind());
            QVERIFY(pair.open("127.0.0.1"));
            if (!peerResets)
                pair.loop.setLingerTimeoutMs(300);
            pair.client().setReading(false);
            pair.server().SendData(pelktest::randomPayload(16 * 1024 * 1024, 5));
            pair.server().Close();
            QCOMPARE(pair.loop.lingeringCount(), 1);
            if (peerResets)
                pair.client().Abort();
            QTRY_COMPARE_WITH_TIMEOUT(pair.loop.lingeringCount(), 0, 10000);
        }
    }

    // SendComplete fires once a queue has drained, so a relay can resume.
    void sendCompleteAfterDrain()
    {
        Pair pair(kind());
        QVERIFY(pair.open("127.0.0.1"));
        pair.client().setReading(false);
        pair.server().SendData(pelktest::randomPayload(16 * 1024 * 1024, 5));
        QVERIFY(pair.server().BytesQueued() > 0);
        QSignalSpy drained(&pair.listening, &EndpointArray::SendComplete);
        // Until the kernel takes no more of the queue: nothing has drained.
        QVERIFY(pelktest::runUntilSteady([&] { return qint64(pair.server().BytesQueued()); }, 20000));
        QCOMPARE(drained.count(), 0);
        pair.client().setReading(true);
        QVERIFY(drained.wait(20000));
        QCOMPARE(pair.server().BytesQueued(), 0);
    }

    // A reset is an Error, never mistaken for a clean end, on either side.
    // Its detail names the peer, which the kernel no longer does after it.
    void resetIsErrorNotFin_data()
    {
        QTest::addColumn<bool>("clientResets");
        QTest::newRow("client resets") << true;
        QTest::newRow("server resets") << false;
    }
    void resetIsErrorNotFin()
    {
        QFETCH(bool, clientResets);
        Pair pair(kind());
        QVERIFY(pair.open("127.0.0.1"));
        EndpointArray &array = clientResets ? pair.listening : pair.connecting;
        Endpoint &reset = clientResets ? pair.server() : pair.client();
        const QString peer = reset.remoteAddressText();
        QVERIFY(peer.contains("127.0.0.1"));
        QSignalSpy errors(&array, &EndpointArray::Error);
        QSignalSpy fins(&array, &EndpointArray::Close);
        (clientResets ? pair.client() : pair.server()).Abort();
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.at(0).at(1).toInt(), ECONNRESET);
        QCOMPARE(errors.at(0).at(3).toString(), QString("Connection to %1 failed: %2.")
                                                   .arg(peer, QString::fromLocal8Bit(strerror(ECONNRESET))));
        QCOMPARE(fins.count(), 0);
        QCOMPARE(reset.State(), SocketState::Error);
        reset.Close();
        QCOMPARE(reset.State(), SocketState::Closed);
    }

    // An IPv6 scope is an interface name or index; a name no interface has
    // is refused before any packet is sent.
    void scopedAddresses_data()
    {
        QTest::addColumn<QString>("scope");
        QTest::addColumn<QString>("error");
        QString name;
        int index = 0;
        for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
            if (i.flags() & QNetworkInterface::IsLoopBack) {
                name = i.name();
                index = i.index();
            }
        }
        QTest::newRow("loopback by name") << name << QString();
        QTest::newRow("loopback by index") << QString::number(index) << QString();
        QTest::newRow("no such interface") << "nosuchif0" << "No such interface";
    }
    void scopedAddresses()
    {
        QFETCH(QString, scope);
        QFETCH(QString, error);
        Pair pair(kind());
        if (!QTcpServer().listen(QHostAddress::LocalHostIPv6))
            QSKIP("::1 cannot be bound here");
        QVERIFY(pair.listening(0).Listen());
        QSignalSpy errors(&pair.connecting, &EndpointArray::Error);
        QSignalSpy connects(&pair.connecting, &EndpointArray::Connect);
        QVERIFY(pair.client().Connect("::1%" + scope, QString::number(pair.listening(0).LocalPort())));
        QTRY_COMPARE(errors.count() + connects.count(), 1);
        QCOMPARE(errors.isEmpty() ? QString() : errors.at(0).at(2).toString(), error);
    }

    // A descriptor epoll refuses (here a plain file) is that connection's
    // error; the connection beside it goes on.
    void unwatchableIsItsOwnError()
    {
        if (kind() != EndpointLoop::ReactorKind::Best)
            QSKIP("only an epoll set refuses a descriptor");
        Pair pair(kind());
        QVERIFY(pair.open("127.0.0.1"));
        QTemporaryFile file;
        QVERIFY(file.open());
        const int fd = ::dup(file.handle());
        QSignalSpy errors(&pair.listening, &EndpointArray::Error);
        pair.listening.Load(2);
        QVERIFY(pair.loop.offerConnection(fd, [&] { pair.listening(2).Accept(fd); }));
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.at(0).at(0).toInt(), 2);
        QCOMPARE(errors.at(0).at(1).toInt(), EPERM);
        pair.listening(2).Close();
        QCOMPARE(::fcntl(fd, F_GETFD), -1); // closed with its endpoint
        pair.client().SendData("still here");
        QTRY_COMPARE(pair.atListener, QByteArray("still here"));
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("acceptedAtOnce");
        QTest::addColumn<QString>("text");
        QTest::newRow("refused") << "127.0.0.1" << "closed" << true << "Connection refused";
        QTest::newRow("invalid name") << "bad..name" << "6667" << true << "Host not found";
        QTest::newRow("address then NUL") << QString::fromUtf8("127.0.0.1\0junk", 14) << "6667" << true
                                          << "Host not found";
        QTest::newRow("empty host") << "" << "6667" << false << "Host is empty";
        QTest::newRow("blank host") << "  " << "6667" << false << "Host is empty";
        QTest::newRow("port zero") << "127.0.0.1" << "0" << false << "Port out of range";
        QTest::newRow("port text") << "127.0.0.1" << "irc" << false << "Port is not a number";
        QTest::newRow("port digits, then a letter") << "127.0.0.1" << "66x" << false << "Port is not a number";
        QTest::newRow("port 65536") << "127.0.0.1" << "65536" << false << "Port out of range";
        QTest::newRow("port huge") << "127.0.0.1" << QString(10000, u'9') << false << "Port out of range";
        // "own A": the port of a listener of the same loop on address A.
        QTest::newRow("own listener, unspecified IPv6") << "::" << "own ::1" << true << "Server is this relay";
        QTest::newRow("own listener, unspecified IPv4") << "0.0.0.0" << "own 127.0.0.1" << true
                                                        << "Server is this relay";
        // "own *": a listener on every address; "+": 192.0.2.9 is added to
        // the computer after it listens.
        QTest::newRow("own listener, address added after it listens") << "192.0.2.9" << "own * +" << true
                                                                      << "Server is this relay";
    }
    void connectFailures()
    {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(bool, acceptedAtOnce);
        QFETCH(QString, text);
        if (port == "closed")
            port = QString::number(pelktest::freeLoopbackPort());
        std::unique_ptr<pelktest::PrivateNetwork> network;
        if (port.endsWith(" +")) {
            network = std::make_unique<pelktest::PrivateNetwork>();
            if (!network->entered())
                QSKIP(qPrintable("No private network to add an address in: " + network->failure()));
        }
        EndpointLoop loop(kind());
        EndpointArray array(loop);
        EndpointArray own(loop);
        if (port.startsWith("own ")) {
            const QString where = port.section(u' ', 1, 1);
            if (where == "*")
                own(0).setListenAddress(ListenScope::Everywhere);
            else
                own(0).setListenAddress(ListenScope::OneAddress, QHostAddress(where));
            QVERIFY(own(0).Listen());
            array.setRefusingOwnListeners(true);
            port = QString::number(own(0).LocalPort());
        }
        if (network) {
            QVERIFY(network->run("ip", {"address", "add", host + "/32", "dev", "lo"}));
            QTRY_VERIFY(loop.ownListeners().isOwnAddress(QHostAddress(host)));
        }
        QSignalSpy errors(&array, &EndpointArray::Error);
        QCOMPARE(array(0).Connect(host, port), acceptedAtOnce);
        if (acceptedAtOnce) {
            QCOMPARE(errors.count(), 0); // raised from the loop, never from inside Connect()
            QVERIFY(errors.wait(5000));
            QCOMPARE(errors.at(0).at(2).toString(), text);
            QCOMPARE(array(0).State(), SocketState::Error);
        } else {
            QCOMPARE(array(0).lastError().text, text);
            QCOMPARE(array(0).State(), SocketState::Closed);
        }
    }

    // A name's addresses raced, through the seam that takes them resolved.
    void racedAddresses_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<int>("winner"); // -1: one Error
        QTest::addColumn<int>("attemptDelayMs");
        QTest::addColumn<QString>("error");
        // A refused first attempt must not wait for the delay, here longer than any wait below.
        QTest::newRow("ipv6 dead, ipv4 live") << QStringList{"::1 dead", "127.0.0.1 live"} << 1 << 250 << "";
        QTest::newRow("ipv4 dead, ipv6 live") << QStringList{"127.0.0.1 dead", "::1 live"} << 1 << 250 << "";
        QTest::newRow("first refused") << QStringList{"::1 refused", "127.0.0.1 live"} << 1 << 600000 << "";
        QTest::newRow("both live") << QStringList{"::1 live", "127.0.0.1 live"} << 0 << 250 << "";
        QTest::newRow("all dead") << QStringList{"::1 dead", "127.0.0.1 dead"} << -1 << 250
                                  << "Connect timed out";
    }
    void racedAddresses()
    {
        QFETCH(QStringList, paths);
        QFETCH(int, winner);
        QFETCH(int, attemptDelayMs);
        QFETCH(QString, error);
        if (!QTcpServer().listen(QHostAddress::LocalHostIPv6))
            QSKIP("::1 cannot be bound here");
        // Both on one port. A dead path is a listener whose backlog of 0 one
        // unaccepted connection fills, so that later SYNs go unanswered.
        QTcpServer server[2];
        QTcpSocket filler[2];
        quint16 port = 0;
        for (int tries = 0, i = 0; tries < 20 && i < 2; ++tries) {
            for (i = 0, port = 0; i < 2; ++i) {
                server[i].close();
                server[i].setListenBacklogSize(0);
                if (paths[i].endsWith("refused"))
                    continue;
                if (!server[i].listen(QHostAddress(paths[i].section(' ', 0, 0)), port))
                    break;
                port = server[i].serverPort();
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (paths[i].endsWith("dead")) {
                server[i].pauseAccepting();
                filler[i].connectToHost(server[i].serverAddress(), port);
                QVERIFY(filler[i].waitForConnected(5000));
            }
        }
        EndpointLoop loop(kind());
        const int fdsBefore = pelktest::openFdCount();
        auto connector = std::make_unique<Connector>(loop.reactor(), loop.clock());
        connector->setAttemptDelay(attemptDelayMs);
        // The owner's time limit, as an endpoint's loop keeps it.
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, [&] { connector->timeOut(QStringLiteral("2")); });
        limit.start(winner < 0 ? 2000 : 60000);
        QList<EndpointError> failures;
        int connectedFd = -1;
        sockaddr_storage peer{};
        connector->onConnected = [&](int fd, const sockaddr_storage &to) {
            QCOMPARE(connectedFd, -1);
            connectedFd = fd;
            peer = to;
            loop.reactor().unwatch(fd); // the new owner takes it; the connector is dropped below
            ::send(fd, "NICK held\r\n", 11, MSG_NOSIGNAL); // what a relay held for it
        };
        connector->onFailed = [&](const EndpointError &e) { failures << e; };
        const QHostAddress first(paths[0].section(' ', 0, 0)), second(paths[1].section(' ', 0, 0));
        connector->startWith("dual.test", port, {first, second});
        QTRY_VERIFY_WITH_TIMEOUT(connectedFd >= 0 || !failures.isEmpty(), 30000);
        connector.reset();
        if (winner < 0) {
            QCOMPARE(failures.size(), 1);
            QCOMPARE(failures[0].text, error);
            QCOMPARE(failures[0].detail, QString("No connection to \"dual.test\" within 2 seconds: ::1 port %1: "
                                                 "timed out; 127.0.0.1 port %1: timed out.").arg(port));
        } else {
            QVERIFY(failures.isEmpty());
            QCOMPARE(QHostAddress(reinterpret_cast<sockaddr *>(&peer)), winner ? second : first);
            // The winner's server gets one connection with the held line once; the other none.
            QTRY_VERIFY(server[winner].hasPendingConnections());
            QTcpSocket *served = server[winner].nextPendingConnection();
            QTRY_COMPARE(served->bytesAvailable(), 11);
            QCOMPARE(served->readAll(), QByteArray("NICK held\r\n"));
            ::close(connectedFd);
            delete served;
            QVERIFY(!server[0].hasPendingConnections() && !server[1].hasPendingConnections());
        }
        QCOMPARE(pelktest::openFdCount(), fdsBefore);
    }

    void listenPortInUse()
    {
        EndpointLoop loop(kind());
        EndpointArray first(loop);
        EndpointArray second(loop);
        QVERIFY(first(0).Listen());
        second(0).setLocalPort(first(0).LocalPort());
        QVERIFY(!second(0).Listen());
        QCOMPARE(second(0).lastError().text, QString("Port in use"));
        QVERIFY(second(0).lastError().detail.contains(QString::number(first(0).LocalPort())));
        first(0).Close();
        QVERIFY(second(0).Listen()); // the port is free again at once
    }

    // A request nobody accepts is closed; Accept() with a stale id fails.
    void unacceptedRequestIsClosed()
    {
        EndpointLoop loop(kind());
        EndpointArray array(loop);
        array.Load(1);
        qintptr offered = -1;
        QObject::connect(&array, &EndpointArray::ConnectionRequest, &array,
                         [&](int, qintptr id) { offered = id; });
        QVERIFY(array(0).Listen());
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(array(0).LocalPort()));
        QTRY_VERIFY(offered >= 0);
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!array(1).Accept(offered));
        QCOMPARE(array(1).State(), SocketState::Closed);
    }

    // A client reset while it waited in the backlog is not offered at all:
    // only the one behind it is.
    void resetInBacklogNotOffered()
    {
        EndpointLoop loop(kind());
        EndpointArray array(loop);
        int offers = 0;
        QObject::connect(&array, &EndpointArray::ConnectionRequest, &array, [&](int, qintptr) { ++offers; });
        QVERIFY(array(0).Listen());
        const auto gone = pelktest::Connection::connectTo(QHostAddress::LocalHost, quint16(array(0).LocalPort()));
        gone->reset(); // before the loop has turned once
        const auto next = pelktest::Connection::connectTo(QHostAddress::LocalHost, quint16(array(0).LocalPort()));
        next->closeOnFin = true;
        QTRY_COMPARE(offers, 1);
        QTRY_VERIFY(!next->isOpen()); // the one offered, not taken, closed: it was `next`
        QCOMPARE(next->error(), 0);
    }

    void stateTextsAreDistinct()
    {
        QSet<QString> seen;
        for (int s = 0; s <= 9; ++s)
            seen.insert(stateText(SocketState(s)));
        QCOMPARE(seen.size(), 10);
    }
};

PELKTEST_GUILESS_MAIN(tst_Endpoint)
#include "tst_endpoint.moc"
