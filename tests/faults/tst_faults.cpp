#include "endpointarray.h"
#include "formsupport.h"
#include "peer.h"
#include "porttext.h"
#include "processsetup.h"
#include "relay.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <malloc.h>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <vector>

#ifdef PELK_SANITIZED
// Empties ASan's quarantine of freed blocks and returns free memory to the
// system (sanitizer/allocator_interface.h, not shipped with every compiler).
extern "C" void __sanitizer_purge_allocator();
#endif

using namespace pelk;
using pelktest::ChildProgram;
using pelktest::Connection;
using pelktest::plainToolTip;
using pelktest::RunningRelay;
using pelktest::runUntil;
using pelktest::Server;

namespace {

#ifdef PELK_SANITIZED
constexpr int SlowDown = 3; // instrumented code runs several times slower
#else
constexpr int SlowDown = 1;
#endif

constexpr int TimeoutMs = 10 * 1000 * SlowDown;
constexpr qsizetype MiB = 1024 * 1024;

const QHostAddress loopback(QHostAddress::LocalHost);

// Hands memory the allocator keeps for reuse back to the system: glibc's
// free lists, or ASan's quarantine of freed blocks, which otherwise grows to
// hundreds of megabytes and, freed in one go, leaves fragments behind.
void releaseFreedMemory()
{
#ifdef PELK_SANITIZED
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
}

// Resident size once freed memory has gone back: what an allocator merely
// keeps for reuse is not growth.
qint64 settledResidentBytes()
{
    releaseFreedMemory();
    return pelktest::residentBytes();
}

// Runs the event loop for `ms` with nothing of the test's own waking it.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool isPrefix(const QByteArray &part, const QByteArray &whole)
{
    return part.size() <= whole.size() && QByteArrayView(whole).first(part.size()) == QByteArrayView(part);
}

// Sends `line` and waits until it has come back whole, and nothing else.
bool roundTrip(Connection &client, const QByteArray &line, int timeoutMs = TimeoutMs)
{
    const qsizetype before = client.received().size();
    client.send(line);
    if (!QTest::qWaitFor([&] { return client.received().size() >= before + line.size() || !client.isOpen(); },
                         timeoutMs))
        return false;
    return client.received().mid(before) == line;
}

bool allReleased(const std::vector<std::unique_ptr<Connection>> &connections)
{
    return std::none_of(connections.begin(), connections.end(),
                        [](const std::unique_ptr<Connection> &c) { return c->isOpen(); });
}

// A new, unconnected TCP socket whose kernel receive buffer is capped.
int socketWithReceiveBuffer(int bytes)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return fd;
}

QString sanitizerReport(const QByteArray &stderrText)
{
    for (const char *mark : {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:"}) {
        if (stderrText.contains(mark))
            return QString::fromLocal8Bit(stderrText.right(2000));
    }
    return {};
}

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT
public:
    enum Stall { Idle, NoStall, ResetterStalls, OtherStalls };

private slots:
    void initTestCase()
    {
        // As the program does: every client takes several descriptors here.
        pelk::raiseFileLimit();
    }

    void cleanup()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Out of descriptors, the listener pauses instead of spinning on a
    // connection it cannot take; clients already in are still served; once
    // descriptors are free again the waiting client is taken with what it
    // sent meanwhile, and the notice clears. The relay runs in a child
    // process with `spare` descriptors free, two per relayed client, so that
    // the test itself never runs short.
    void descriptorExhaustion_data()
    {
        QTest::addColumn<int>("spare");
        QTest::addColumn<QString>("relief"); // what frees descriptors
        QTest::newRow("limit raised") << 6 << "raise";
        QTest::newRow("a client leaves") << 6 << "leave";
        QTest::newRow("a client resets") << 6 << "reset";
        QTest::newRow("one free, then a second") << 1 << "free";
    }
    void descriptorExhaustion()
    {
        QFETCH(int, spare);
        QFETCH(QString, relief);
        const int served = spare / 2;
        Server upstream; // echoes
        ChildProgram relay({QStringLiteral("relay"), QString::number(upstream.port()), QString::number(spare)});
        const quint16 port = relay.port();
        QVERIFY2(port != 0, relay.standardError().constData());

        std::vector<std::unique_ptr<Connection>> clients;
        for (int i = 0; i < served; ++i) {
            clients.push_back(Connection::connectTo(loopback, port));
            clients.back()->closeOnFin = true;
            QVERIFY(roundTrip(*clients.back(), "PING :" + QByteArray::number(i) + "\r\n"));
        }
        QVERIFY(relay.last(QStringLiteral("notice ")).isNull());
        auto waiting = Connection::connectTo(loopback, port);
        waiting->closeOnFin = true;
        QTRY_VERIFY(waiting->isConnected()); // in the backlog
        waiting->send(QByteArray("NICK waited\r\n"));
        QTRY_VERIFY(!relay.last(QStringLiteral("notice ")).isNull());
        QVERIFY2(relay.last(QStringLiteral("notice ")).startsWith(socketErrorText(EMFILE) + "|New clients wait"),
                 qPrintable(relay.last(QStringLiteral("notice "))));
        QCOMPARE(relay.last(QStringLiteral("clients ")).toInt(), served);

        // Idle while exhausted: the waiting connection must not wake the
        // relay's loop over and over.
        const qint64 cpuBefore = relay.cpuTimeMs();
        QElapsedTimer wall;
        wall.start();
        runFor(1000);
        const qint64 cpuUsed = relay.cpuTimeMs() - cpuBefore;
        qInfo("out of descriptors: %lld ms of CPU in %lld ms", cpuUsed, qint64(wall.elapsed()));
        QVERIFY2(cpuBefore >= 0 && cpuUsed * 10 < wall.elapsed(),
                 qPrintable(QStringLiteral("%1 ms of CPU in %2 ms").arg(cpuUsed).arg(wall.elapsed())));
        QVERIFY(waiting->isOpen());
        QCOMPARE(waiting->bytesReceived(), 0);
        for (int i = 0; i < served; ++i)
            QVERIFY(roundTrip(*clients[size_t(i)], "PING :again " + QByteArray::number(i) + "\r\n"));

        if (relief == QLatin1String("leave") || relief == QLatin1String("reset")) {
            if (relief == QLatin1String("leave"))
                clients.front()->shutdownSend();
            else
                clients.front()->reset();
            QTRY_VERIFY(!clients.front()->isOpen());
            QCOMPARE(clients.front()->error(), 0);
            clients.erase(clients.begin());
        } else {
            relay.send(relief.toLatin1());
        }
        QTRY_COMPARE_WITH_TIMEOUT(relay.last(QStringLiteral("notice ")), QStringLiteral("|"), 5000);
        QTRY_COMPARE(relay.last(QStringLiteral("clients ")).toInt(), int(clients.size()) + 1);
        QTRY_COMPARE(waiting->received(), QByteArray("NICK waited\r\n"));
        QVERIFY(roundTrip(*waiting, "PING :waited\r\n"));
        for (size_t i = 0; i < clients.size(); ++i)
            QVERIFY(roundTrip(*clients[i], "PING :after " + QByteArray::number(qsizetype(i)) + "\r\n"));
        relay.process.closeWriteChannel();
        QTRY_COMPARE(relay.process.state(), QProcess::NotRunning);
        QVERIFY2(relay.process.exitCode() == 0, relay.standardError().right(2000).constData());
    }

    // Two relays pointed at each other, which neither can see: the client's
    // line goes round until one of them runs out of descriptors. Once the
    // client has left, both come back to idle by themselves: every
    // half-closed hop ends at its limit, and a connection reset before it was
    // accepted opens nothing.
    void relaysInALoopSettle()
    {
        const QString halfCloseMs = QStringLiteral("300");
        ChildProgram a({QStringLiteral("relay"), QStringLiteral("1"), QStringLiteral("64"), halfCloseMs});
        ChildProgram b({QStringLiteral("relay"), QString::number(a.port()), QStringLiteral("16"), halfCloseMs});
        QVERIFY2(a.port() != 0 && b.port() != 0,
                 qPrintable(QStringLiteral("a:\n%1\nb:\n%2").arg(a.transcript(), b.transcript())));
        const auto pointAt = [&](quint16 port) {
            a.send("upstream " + QByteArray::number(port));
            return runUntil([&] { return a.last(QStringLiteral("upstream ")) == QString::number(port); }, TimeoutMs);
        };
        QVERIFY(pointAt(b.port()));
        const auto descriptors = [&] {
            return pelktest::openFdCount(a.process.processId()) + pelktest::openFdCount(b.process.processId());
        };
        const int baseline = descriptors();

        auto client = Connection::connectTo(loopback, a.port());
        client->send(QByteArray("NICK round\r\n"));
        // b, with fewer descriptors, runs out first and says so.
        const QString outOfDescriptors = QStringLiteral("notice ") + socketErrorText(EMFILE);
        QVERIFY2(runUntil([&] { return b.said(outOfDescriptors); }, TimeoutMs),
                 qPrintable(QStringLiteral("a:\n%1\nb:\n%2").arg(a.transcript(), b.transcript())));
        client->shutdownSend();
        QVERIFY(runUntil([&] { return !client->isOpen(); }, TimeoutMs));
        QElapsedTimer settling;
        settling.start();
        const auto idle = [&] {
            return a.last(QStringLiteral("clients ")) == QLatin1String("0")
                   && b.last(QStringLiteral("clients ")) == QLatin1String("0") && descriptors() == baseline;
        };
        QVERIFY2(runUntil(idle, TimeoutMs), qPrintable(QStringLiteral("%1 descriptors, %2 at first")
                                                            .arg(descriptors()).arg(baseline)));
        qInfo("both idle %lld ms after the client left", settling.elapsed());
        QVERIFY(pelktest::runUntilSteady([&] { return a.cpuTimeMs() + b.cpuTimeMs(); }, TimeoutMs));
        // Both accept again: through b, then a, to a server.
        Server upstream;
        QVERIFY(pointAt(upstream.port()));
        auto later = Connection::connectTo(loopback, b.port());
        QVERIFY(roundTrip(*later, "NICK later\r\n"));
    }

    // Without a descriptor for an epoll set the loop falls back to notifiers.
    void loopWithoutEpollFallsBack()
    {
        ChildProgram child({QStringLiteral("loop")});
        QTRY_COMPARE_WITH_TIMEOUT(child.process.state(), QProcess::NotRunning, TimeoutMs);
        QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.process.exitCode(), 0);
        QCOMPARE(child.lines, QStringList{QStringLiteral("loop made")});
    }

    // A reset on one side, idle or mid-transfer, resets the other side and
    // frees the slot, also when one of the two had stopped reading: the
    // relay holds data for the side that resets, or has stopped reading it
    // because the other side's queue is full. The other clients' streams
    // arrive intact.
    void resetMidTransfer_data()
    {
        QTest::addColumn<bool>("upstreamResets");
        QTest::addColumn<int>("stall");
        QTest::newRow("client resets, idle") << false << int(Idle);
        QTest::newRow("client resets") << false << int(NoStall);
        QTest::newRow("client resets, data held for it") << false << int(ResetterStalls);
        QTest::newRow("client resets, upstream not reading") << false << int(OtherStalls);
        QTest::newRow("upstream resets, idle") << true << int(Idle);
        QTest::newRow("upstream resets") << true << int(NoStall);
        QTest::newRow("upstream resets, data held for it") << true << int(ResetterStalls);
        QTest::newRow("upstream resets, client not reading") << true << int(OtherStalls);
    }
    void resetMidTransfer()
    {
        QFETCH(bool, upstreamResets);
        QFETCH(int, stall);
        constexpr int Clients = 3;
        constexpr int Victim = 1;
        constexpr qsizetype Size = 4 * MiB / SlowDown;
        // Enough that the kernel's buffers cannot take it all, so that the
        // relay has to hold some for a side that does not read.
        constexpr qsizetype HeldSize = 16 * MiB / SlowDown;
        constexpr int SmallBufferBytes = 16 * 1024;
        // Which of the victim's peers stops reading, if any.
        const bool clientStalls = (stall == ResetterStalls && !upstreamResets) || (stall == OtherStalls && upstreamResets);
        const bool upstreamStalls = stall > NoStall && !clientStalls;

        Server upstream(loopback, upstreamStalls ? SmallBufferBytes : 0);
        upstream.keepReceived = false;
        QVERIFY(upstream.isListening());
        RunningRelay r(upstream.port());
        QVERIFY(r.listening);

        std::vector<QByteArray> payloads;
        std::vector<std::unique_ptr<Connection>> clients;
        for (int i = 0; i < Clients; ++i) {
            const bool victim = i == Victim;
            payloads.push_back(pelktest::randomPayload(victim && stall > NoStall ? HeldSize : Size, quint32(100 + i)));
            const int fd = victim && clientStalls ? socketWithReceiveBuffer(SmallBufferBytes) : -1;
            clients.push_back(Connection::connectTo(loopback, r.port(), fd));
            clients.back()->closeOnFin = true;
            // One at a time, so that slot i + 1 and upstream connection i
            // belong to client i.
            QTRY_COMPARE(upstream.connections.size(), size_t(i + 1));
            QTRY_VERIFY(r.upstreamUp(i + 1));
        }
        const int victimSlot = Victim + 1;
        Connection &victimClient = *clients[Victim];
        Connection &victimUpstream = *upstream.connections[Victim];
        Connection &resetter = upstreamResets ? victimUpstream : victimClient;
        Connection &other = upstreamResets ? victimClient : victimUpstream;
        Endpoint &towardResetter = upstreamResets ? r.relay.Winsock2(victimSlot) : r.relay.Winsock1(victimSlot);

        if (clientStalls)
            victimClient.setReading(false);
        if (upstreamStalls)
            victimUpstream.setReading(false);
        // Without a stall the victim's upstream stops echoing once a quarter
        // has come back, so that the reset always lands mid-stream.
        bool echoStopped = false;
        if (stall == NoStall) {
            victimUpstream.onData = [&](QByteArrayView) {
                if (!echoStopped && victimUpstream.bytesReceived() >= Size / 4) {
                    echoStopped = true;
                    victimUpstream.setReading(false);
                }
            };
        }
        for (int i = 0; i < Clients; ++i) {
            if (i != Victim || stall == NoStall || stall == ResetterStalls)
                clients[size_t(i)]->send(payloads[size_t(i)]);
        }
        if (stall == OtherStalls) {
            // Only the side that will reset sends, so that the relay has
            // nothing to write to it once it has stopped reading it.
            victimUpstream.echo = false;
            resetter.send(payloads[Victim]);
        }
        if (stall == ResetterStalls)
            QTRY_VERIFY(towardResetter.BytesQueued() > 0);
        else if (stall == OtherStalls)
            QTRY_VERIFY(!towardResetter.isReading());
        else if (stall == NoStall)
            QTRY_VERIFY(victimClient.bytesReceived() >= Size / 4);
        QVERIFY(victimClient.bytesReceived() < payloads[Victim].size());
        resetter.reset();

        // The slot is freed while the other side still does not read.
        QVERIFY2(runUntil([&] { return r.relay.connectedClients() == Clients - 1; }, TimeoutMs),
                 qPrintable(QStringLiteral("%1 clients").arg(r.relay.connectedClients())));
        QCOMPARE(r.relay.Winsock1(victimSlot).State(), SocketState::Closed);
        QCOMPARE(r.relay.Winsock2(victimSlot).State(), SocketState::Closed);
        QVERIFY(r.relay.pending_data[size_t(victimSlot)].isEmpty());
        QCOMPARE(r.relay.loop.lingeringCount(), 0);
        other.setReading(true);
        QTRY_VERIFY(!other.isOpen());
        QVERIFY2(other.error() == ECONNRESET || other.error() == EPIPE, qPrintable(QString::number(other.error())));
        QVERIFY(!other.peerFinished());
        QVERIFY(isPrefix(victimClient.received(), payloads[Victim]));

        for (int i = 0; i < Clients; ++i) {
            if (i == Victim)
                continue;
            Connection &client = *clients[size_t(i)];
            QTRY_COMPARE_WITH_TIMEOUT(client.bytesReceived(), Size, TimeoutMs);
            QCOMPARE(client.receivedHash(), pelktest::sha256(payloads[size_t(i)]));
            QCOMPARE(upstream.connections[size_t(i)]->receivedHash(), pelktest::sha256(payloads[size_t(i)]));
            client.shutdownSend();
        }
        QTRY_VERIFY(r.idle());
    }

    // One side does not read while the other sends 64 MiB: the relay stops
    // reading the sender instead of holding more than its high-water mark,
    // and once the slow side reads, every byte arrives in order.
    void slowSideStaysBounded_data()
    {
        QTest::addColumn<bool>("upstreamSlow");
        QTest::newRow("client not reading") << false;
        QTest::newRow("upstream not reading") << true;
    }
    void slowSideStaysBounded()
    {
        QFETCH(bool, upstreamSlow);
        constexpr qsizetype Total = 64 * MiB;
        constexpr qsizetype Block = MiB;
        constexpr qsizetype MaxHeld = Relay::HighWaterBytes + EndpointLoop::ReadBufferBytes;
        constexpr qint64 MaxGrowth = 32 * MiB;

        Server upstream;
        upstream.echo = false;
        upstream.keepReceived = false;
        RunningRelay r(upstream.port());
        QVERIFY(r.listening);
        auto client = Connection::connectTo(loopback, r.port());
        client->keepReceived = false;
        QTRY_COMPARE(upstream.connections.size(), size_t(1));
        QTRY_VERIFY(r.upstreamUp(1));
        Connection &sender = upstreamSlow ? *client : *upstream.connections.front();
        Connection &slow = upstreamSlow ? *upstream.connections.front() : *client;
        const Endpoint &fromSender = upstreamSlow ? r.relay.Winsock1(1) : r.relay.Winsock2(1);
        slow.setReading(false);

        const QByteArray block = pelktest::randomPayload(Block, 61);
        const qint64 before = settledResidentBytes();
        for (qsizetype queued = 0; queued < Total; queued += Block)
            sender.send(block); // shared, not copied
        QTRY_VERIFY(!fromSender.isReading());
        // Wait until the sender's kernel takes nothing more: every buffer on
        // the way is full.
        QVERIFY(pelktest::runUntilSteady([&] { return sender.bytesSent(); }, 3 * TimeoutMs));
        const qsizetype held = r.relay.Winsock1(1).BytesQueued() + r.relay.Winsock2(1).BytesQueued()
                               + r.relay.pending_data[1].size();
        const qint64 grown = settledResidentBytes() - before;
        qInfo("%lld KiB taken from the sender, %lld KiB held by the relay, RSS %+lld KiB",
              sender.bytesSent() / 1024, qint64(held) / 1024, grown / 1024);
        QVERIFY2(sender.bytesSent() < Total / 2, qPrintable(QString::number(sender.bytesSent())));
        QVERIFY2(held <= MaxHeld, qPrintable(QString::number(held)));
        QVERIFY2(grown < MaxGrowth, qPrintable(QStringLiteral("grew %1 KiB").arg(grown / 1024)));

        slow.setReading(true);
        QVERIFY(runUntil([&] { return slow.bytesReceived() == Total || !slow.isOpen(); }, 60000));
        QCOMPARE(slow.bytesReceived(), Total);
        QCryptographicHash expected(QCryptographicHash::Sha256);
        for (qsizetype queued = 0; queued < Total; queued += Block)
            expected.addData(block);
        QCOMPARE(slow.receivedHash(), expected.result());
        const qint64 grownAfter = settledResidentBytes() - before;
        QVERIFY2(grownAfter < MaxGrowth, qPrintable(QStringLiteral("grew %1 KiB").arg(grownAfter / 1024)));
    }

    // Stop and Start through the window while 20 clients stream through an
    // echoing upstream. Each Stop ends every client with a FIN after what
    // the relay held for it; what a client gets back is an exact prefix of
    // what it sent (nothing changed, skipped or taken from another client).
    // Nothing leaks over the cycles.
    void stopStartWhileStreaming()
    {
        constexpr int Cycles = 100;
        constexpr int Clients = 20;
        constexpr qsizetype MaxSize = MiB / 2;
        constexpr qsizetype ChunkBytes = 8 * 1024;

        Server upstream;
        QVERIFY(upstream.isListening());
        Form1 form;
        pelktest::fillForm(form, QStringLiteral("127.0.0.1"), QString::number(upstream.port()));
        std::vector<QByteArray> payloads;
        for (int i = 0; i < Clients; ++i)
            payloads.push_back(pelktest::randomPayload(MaxSize, quint32(200 + i)));
        QRandomGenerator random(7);
        const int fdsBefore = pelktest::openFdCount();
        int cutStreams = 0; // streams a Stop ended before all came back
        QElapsedTimer elapsed;
        elapsed.start();

        for (int cycle = 0; cycle < Cycles; ++cycle) {
            form.cmd_startstop_Click();
            QVERIFY(form.running);
            const quint16 port = quint16(form.relay.Winsock1(0).LocalPort());
            std::vector<std::unique_ptr<Connection>> clients;
            std::vector<QByteArray> sent;
            std::vector<qsizetype> handed(Clients, 0);
            for (int i = 0; i < Clients; ++i) {
                const qsizetype size = 64 * 1024 + random.bounded(int(MaxSize - 64 * 1024));
                sent.push_back(QByteArray::fromRawData(payloads[size_t(i)].constData(), size));
                clients.push_back(Connection::connectTo(loopback, port));
                clients.back()->closeOnFin = true;
            }
            // Each client streams a chunk per millisecond, so that a Stop
            // finds data on the way in both directions. The last byte of a
            // stream is never sent, so that every Stop cuts every stream.
            QTimer feeder;
            feeder.setTimerType(Qt::PreciseTimer);
            feeder.setInterval(1);
            connect(&feeder, &QTimer::timeout, this, [&] {
                for (int i = 0; i < Clients; ++i) {
                    const qsizetype n = std::min(ChunkBytes, sent[size_t(i)].size() - 1 - handed[size_t(i)]);
                    if (n > 0 && clients[size_t(i)]->bytesQueued() < 4 * ChunkBytes) {
                        clients[size_t(i)]->send(QByteArray::fromRawData(sent[size_t(i)].constData() + handed[size_t(i)], n));
                        handed[size_t(i)] += n;
                    }
                }
            });
            feeder.start();
            QVERIFY(runUntil([&] { return form.relay.connectedClients() == Clients; }, TimeoutMs));
            // Stop at a random point of the first half of the transfer.
            qint64 toSend = 0;
            for (const QByteArray &s : sent)
                toSend += s.size() - 1;
            const qint64 echoedMark = random.bounded(int(toSend / 2));
            QVERIFY(runUntil([&] {
                qint64 echoed = 0;
                for (const auto &c : clients)
                    echoed += c->bytesReceived();
                return echoed >= echoedMark;
            }, TimeoutMs));

            form.cmd_startstop_Click();
            feeder.stop();
            QVERIFY(!form.running);
            QCOMPARE(form.relay.connectedClients(), 0);
            QVERIFY2(form.relay.Winsock1.UBound() <= Clients, qPrintable(QString::number(form.relay.Winsock1.UBound())));

            QVERIFY2(runUntil([&] { return allReleased(clients) && allReleased(upstream.connections); }, TimeoutMs),
                     qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            for (int i = 0; i < Clients; ++i) {
                const Connection &c = *clients[size_t(i)];
                const QString where = QStringLiteral("cycle %1 client %2").arg(cycle).arg(i);
                QVERIFY2(c.error() == 0, qPrintable(where + QStringLiteral(": errno %1").arg(c.error())));
                QVERIFY2(c.peerFinished(), qPrintable(where));
                QVERIFY2(isPrefix(c.received(), sent[size_t(i)]), qPrintable(where));
                if (c.received().size() < sent[size_t(i)].size())
                    ++cutStreams;
            }
            // Each upstream connection got the start of one client's stream.
            for (const auto &u : upstream.connections) {
                if (u->received().isEmpty())
                    continue;
                const auto owner = std::find_if(sent.begin(), sent.end(), [&](const QByteArray &s) {
                    return isPrefix(u->received().first(std::min<qsizetype>(16, u->received().size())), s);
                });
                QVERIFY2(owner != sent.end() && isPrefix(u->received(), *owner),
                         qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            }
            upstream.dropReleased();
        }
        QVERIFY(runUntil([&] { return form.relay.loop.lingeringCount() == 0; }, TimeoutMs));
        QCOMPARE(pelktest::openFdCount(), fdsBefore);
        qInfo("%d Stop/Start cycles in %lld ms; %d of %d streams cut short", Cycles, qint64(elapsed.elapsed()),
              cutStreams, Cycles * Clients);
        QVERIFY(cutStreams > 0);
    }

    // Closing the window while clients are connected ends the program with
    // exit code 0, promptly, with no sanitizer report, and its clients and
    // upstream connections see their connections end.
    void closingWindowEndsProgram_data()
    {
        QTest::addColumn<bool>("streaming");
        QTest::newRow("idle clients") << false;
        QTest::newRow("clients streaming") << true;
    }
    void closingWindowEndsProgram()
    {
        QFETCH(bool, streaming);
        constexpr int Clients = 5;
        Server upstream;
        QVERIFY(upstream.isListening());
        ChildProgram program({QStringLiteral("window"), QString::number(upstream.port())});
        const quint16 port = program.port();
        QVERIFY2(port != 0, program.standardError().constData());

        std::vector<std::unique_ptr<Connection>> clients;
        for (int i = 0; i < Clients; ++i) {
            clients.push_back(Connection::connectTo(loopback, port));
            clients.back()->closeOnFin = true;
            QVERIFY(roundTrip(*clients.back(), "PING :" + QByteArray::number(i) + "\r\n"));
            clients.back()->keepReceived = false;
        }
        const QByteArray stream = pelktest::randomPayload(8 * MiB, 300);
        // While streaming, the upstream stops echoing at a quarter, so that
        // the window closes while every stream is under way.
        bool holding = streaming;
        for (auto &u : upstream.connections) {
            u->onData = [&holding, c = u.get()](QByteArrayView) {
                if (holding && c->bytesReceived() >= 2 * MiB)
                    c->setReading(false);
            };
        }
        if (streaming) {
            for (auto &c : clients)
                c->send(stream);
            QTRY_VERIFY(clients.front()->bytesReceived() > 1024 * 1024);
        }

        QElapsedTimer elapsed;
        elapsed.start();
        program.send("close");
        QVERIFY(runUntil([&] { return program.process.state() == QProcess::NotRunning; }, TimeoutMs));
        const QByteArray errors = program.standardError();
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.process.exitCode() == 0, errors.right(2000).constData());
        QVERIFY2(sanitizerReport(errors).isEmpty(), qPrintable(sanitizerReport(errors)));
        qInfo("the program ended %lld ms after the window was closed", qint64(elapsed.elapsed()));
        holding = false;
        for (auto &u : upstream.connections)
            u->setReading(true);

        QVERIFY(runUntil([&] {
            return std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->peerFinished() || c->error(); })
                   && std::all_of(upstream.connections.begin(), upstream.connections.end(),
                                  [](const auto &c) { return c->peerFinished() || c->error(); });
        }, TimeoutMs));
        if (!streaming) {
            // Nothing was in flight: every end is a plain FIN.
            for (const auto &c : clients)
                QCOMPARE(c->error(), 0);
        }
    }

    // Without a window, and with no display at all: where it listens and
    // the client whose server refused are said on standard error, every
    // line time-stamped and nothing else there; SIGTERM or SIGINT runs
    // Stop, so the relayed client and its server see FIN, and the program
    // exits 0.
    void headlessLogsAndStops_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void headlessLogsAndStops()
    {
        QFETCH(int, signalNumber);
        auto upstream = std::make_unique<Server>(); // echoes
        const QString upstreamPort = QString::number(upstream->port());
        ChildProgram program(QStringLiteral(PELK_PROGRAM),
                             {QStringLiteral("--headless"), QStringLiteral("--listen-port"), QStringLiteral("0"),
                              QStringLiteral("--server"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                              upstreamPort});
        const auto running = [&] { return program.process.state() != QProcess::NotRunning; };
        static const QRegularExpression listening(QStringLiteral("Status: Accepting Connections - Listening on .*, port (\\d+)"));
        QRegularExpressionMatch match;
        QVERIFY(runUntil([&] { return (match = listening.match(program.standardError())).hasMatch() || !running(); },
                         TimeoutMs));
        QVERIFY2(match.hasMatch(), qPrintable(program.transcript()));
        const quint16 port = match.captured(1).toUShort();

        auto relayed = Connection::connectTo(loopback, port);
        relayed->closeOnFin = true;
        QVERIFY(roundTrip(*relayed, "PING :1\r\n"));
        // The server stops listening: the next client's connect is refused.
        const std::vector<std::unique_ptr<Connection>> served = std::move(upstream->connections);
        upstream.reset();
        auto refused = Connection::connectTo(loopback, port);
        refused->closeOnFin = true; // or the relay's stop waits for it to finish
        const QString refusedLine = QStringLiteral("Client 127.0.0.1:%1 to 127.0.0.1:%2 ended after 0 s")
                                        .arg(refused->localPort()).arg(upstreamPort);
        QVERIFY(runUntil([&] { return program.standardError().contains(refusedLine.toUtf8()) || !running(); },
                         TimeoutMs));
        QVERIFY2(program.standardError().contains(socketErrorText(ECONNREFUSED).toUtf8()),
                 qPrintable(program.transcript()));

        ::kill(pid_t(program.process.processId()), signalNumber);
        QVERIFY(runUntil([&] { return !running(); }, TimeoutMs));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.process.exitCode() == 0, qPrintable(program.transcript()));
        QVERIFY(runUntil([&] { return relayed->peerFinished() && served.at(0)->peerFinished(); }, TimeoutMs));
        QCOMPARE(relayed->error(), 0);

        static const QRegularExpression stamped(
                QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d) \\S"));
        const QList<QByteArray> lines = program.standardError().trimmed().split('\n');
        for (const QByteArray &line : lines)
            QVERIFY2(stamped.match(QString::fromLocal8Bit(line)).hasMatch(), line.constData());
        QVERIFY2(lines.last().endsWith("Status: Stopped"), qPrintable(program.transcript()));
    }

    // Waves of 2,000 clients connect, exchange a line and leave, for 30 s.
    // Afterwards descriptors, memory and slots are back where they were
    // after the first wave.
    void churnReturnsToBaseline()
    {
        constexpr int WaveClients = 2000;
        const int durationMs = 30 * 1000 / SlowDown;
        // ASan's allocator hands less of its free memory back than glibc's.
        constexpr qint64 MaxGrowth = 8 * MiB * (SlowDown > 1 ? 2 : 1);

        // Each client in flight holds up to five descriptors here: its own,
        // two of the relay, the upstream's, and one lingering.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const int concurrency = int(std::min<rlim_t>(500, (limit.rlim_cur - 100) / 5));
        QVERIFY2(concurrency >= 50, qPrintable(QString::number(limit.rlim_cur)));

        Server upstream;
        upstream.keepReceived = false;
        RunningRelay r(upstream.port());
        QVERIFY(r.listening);

        std::vector<std::unique_ptr<Connection>> live;
        int started = 0;
        int ended = 0;
        int failures = 0;
        qint64 total = 0;
        QString firstFailure;
        std::function<void()> startClient = [&] {
            const QByteArray line = "PRIVMSG #churn :" + QByteArray::number(total++) + "\r\n";
            live.push_back(Connection::connectTo(loopback, r.port()));
            ++started;
            Connection *c = live.back().get();
            c->closeOnFin = true;
            c->onConnected = [c, line] { c->send(line); };
            c->onData = [c, line](QByteArrayView) {
                if (c->received().size() >= line.size())
                    c->shutdownSend();
            };
            c->onEnded = [&, c, line] {
                ++ended;
                if (c->error() != 0 || !c->peerFinished() || c->received() != line) {
                    if (failures++ == 0)
                        firstFailure = QStringLiteral("errno %1, %2 bytes back").arg(c->error()).arg(c->received().size());
                }
                if (started < WaveClients)
                    startClient();
            };
            if (!c->isOpen()) {
                ++ended;
                if (failures++ == 0)
                    firstFailure = QStringLiteral("connect: errno %1").arg(c->error());
            }
        };
        const auto runWave = [&] {
            started = 0;
            ended = 0;
            for (int i = 0; i < concurrency; ++i)
                startClient();
            const bool done = runUntil([&] { return ended == WaveClients; }, 60000);
            // The test's own records go too, so that they do not count as
            // the relay's growth.
            live.clear();
            upstream.dropReleased();
            return done;
        };
        const auto settle = [&] {
            const bool idle = runUntil([&] { return r.idle() && allReleased(upstream.connections); }, TimeoutMs);
            upstream.dropReleased();
            releaseFreedMemory();
            return idle;
        };

        QVERIFY(runWave());
        QVERIFY(settle());
        QVERIFY2(failures == 0, qPrintable(firstFailure));
        const int fdsBaseline = pelktest::openFdCount();
        const qint64 residentBaseline = settledResidentBytes();
        const int slotsBaseline = r.relay.Winsock1.UBound();

        QElapsedTimer elapsed;
        elapsed.start();
        int waves = 1;
        while (elapsed.elapsed() < durationMs) {
            QVERIFY2(runWave(), qPrintable(QStringLiteral("wave %1: %2 of %3 ended").arg(waves).arg(ended).arg(started)));
            QVERIFY(settle());
            ++waves;
        }
        QVERIFY2(failures == 0, qPrintable(QStringLiteral("%1 failures, first: %2").arg(failures).arg(firstFailure)));
        const qint64 grown = settledResidentBytes() - residentBaseline;
        qInfo("%d waves, %lld clients in %lld ms, %d at once; %d slots, RSS %+lld KiB", waves, total,
              qint64(elapsed.elapsed()), concurrency, r.relay.Winsock1.UBound(), grown / 1024);
        QCOMPARE(r.relay.connectedClients(), 0);
        QCOMPARE(pelktest::openFdCount(), fdsBaseline);
        QVERIFY2(grown < MaxGrowth, qPrintable(QStringLiteral("grew %1 KiB").arg(grown / 1024)));
        // The slots in use at once depend on timing; a leak would grow them
        // with every wave.
        QVERIFY2(r.relay.Winsock1.UBound() <= std::max(2 * slotsBaseline, 2 * concurrency),
                 qPrintable(QStringLiteral("%1 slots after the first wave, %2 now").arg(slotsBaseline).arg(r.relay.Winsock1.UBound())));
    }

    // Texts in the server and server port fields, typed before Start: each
    // client is relayed, or is closed at once with a clear status and
    // nothing held for it, and the window never blocks. {v4} and {v6} stand for the port of an echoing
    // upstream on 127.0.0.1 and on ::1, {free} for a port nobody listens on.
    void upstreamFieldTexts_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("outcome"); // "relayed" or the status phrase
        QTest::addColumn<QString>("reason");  // part of the status tooltip

        const QString relayed = QStringLiteral("relayed");
        const QString v4 = QStringLiteral("{v4}");
        const QString v6 = QStringLiteral("{v6}");
        const QString noHost = QStringLiteral("No server host");
        const QString badPort = QStringLiteral("Bad server port");
        const QString notFound = socketErrorText(Endpoint::HostNotFoundError);
        const QString cannotFind = QStringLiteral("Cannot find host");
        const QString portEmpty = portProblemText(PortText::Empty).toLower();
        const QString notNumber = portProblemText(PortText::NotNumber).toLower();
        const QString outOfRange = portProblemText(PortText::OutOfRange).toLower();

        // Server field.
        QTest::newRow("host empty") << "" << v4 << noHost << "host";
        QTest::newRow("host blanks") << " \t " << v4 << noHost << "host";
        QTest::newRow("IPv4 with blanks") << " 127.0.0.1 " << v4 << relayed << "";
        QTest::newRow("IPv6 literal") << "::1" << v6 << relayed << "";
        QTest::newRow("IPv6 bracketed") << "[::1]" << v6 << relayed << "";
        QTest::newRow("IPv6 bracketed with blanks") << " [::1]\t" << v6 << relayed << "";
        QTest::newRow("IPv4-mapped IPv6") << "::ffff:127.0.0.1" << v4 << relayed << "";
        QTest::newRow("bracket not closed") << "[::1" << v6 << notFound << cannotFind;
        QTest::newRow("bracket not opened") << "::1]" << v6 << notFound << cannotFind;
        QTest::newRow("empty brackets") << "[]" << v4 << notFound << cannotFind;
        QTest::newRow("host with port") << "127.0.0.1:{v4}" << v4 << notFound << cannotFind;
        QTest::newRow("bracketed host with port") << "[::1]:{v6}" << v6 << notFound << cannotFind;
        QTest::newRow("empty label") << "no..such..host" << v4 << notFound << cannotFind;
        QTest::newRow("blank inside") << "irc server" << v4 << notFound << cannotFind;
        QTest::newRow("leading hyphen") << "-irc-" << v4 << notFound << cannotFind;
        QTest::newRow("NUL inside") << QStringLiteral("irc") + QChar(0) + QStringLiteral("host") << v4 << notFound
                                    << cannotFind;
        QTest::newRow("control character") << "irc\x01host" << v4 << notFound << cannotFind;
        QTest::newRow("10,000 characters") << QString(10000, u'a') << v4 << notFound << cannotFind;
        QTest::newRow("non-ASCII") << QStringLiteral("\u00f1and\u00fa..\u2603") << v4 << notFound << cannotFind;
        QTest::newRow("nine IPv6 groups") << "1:2:3:4:5:6:7:8:9" << v4 << notFound << cannotFind;

        // Port field.
        QTest::newRow("port empty") << "127.0.0.1" << "" << badPort << portEmpty;
        QTest::newRow("port blanks") << "127.0.0.1" << "   " << badPort << portEmpty;
        QTest::newRow("port with blanks") << "127.0.0.1" << " \t{v4} " << relayed << "";
        QTest::newRow("port with line end") << "127.0.0.1" << "{v4}\r\n" << relayed << "";
        QTest::newRow("leading zeros") << "127.0.0.1" << "000{v4}" << relayed << "";
        QTest::newRow("plus sign: TLS to a plaintext server") << "127.0.0.1" << "+{v4}"
                                                              << socketErrorText(Endpoint::TlsHandshakeError)
                                                              << "TLS handshake with";
        QTest::newRow("two plus signs") << "127.0.0.1" << "++{v4}" << badPort << notNumber;
        QTest::newRow("blank after plus") << "127.0.0.1" << "+ {v4}" << badPort << notNumber;
        QTest::newRow("plus alone") << "127.0.0.1" << "+" << badPort << notNumber;
        QTest::newRow("plus zero") << "127.0.0.1" << "+0" << badPort << outOfRange;
        QTest::newRow("plus 70000") << "127.0.0.1" << "+70000" << badPort << outOfRange;
        QTest::newRow("minus sign") << "127.0.0.1" << "-1" << badPort << notNumber;
        QTest::newRow("fraction") << "127.0.0.1" << "{v4}.0" << badPort << notNumber;
        QTest::newRow("exponent") << "127.0.0.1" << "1e3" << badPort << notNumber;
        QTest::newRow("hexadecimal") << "127.0.0.1" << "0x1a0b" << badPort << notNumber;
        QTest::newRow("blank inside port") << "127.0.0.1" << "66 67" << badPort << notNumber;
        QTest::newRow("NUL in port") << "127.0.0.1" << QStringLiteral("66") + QChar(0) + QStringLiteral("67")
                                     << badPort << notNumber;
        QTest::newRow("control character in port") << "127.0.0.1" << "\x07" << badPort << notNumber;
        QTest::newRow("Arabic-Indic digits") << "127.0.0.1" << QStringLiteral("\u0666\u0666\u0666\u0667")
                                             << badPort << notNumber;
        QTest::newRow("full-width digits") << "127.0.0.1" << QStringLiteral("\uff16\uff16\uff16\uff17")
                                           << badPort << notNumber;
        QTest::newRow("10,000 letters") << "127.0.0.1" << QString(10000, u'x') << badPort << notNumber;
        QTest::newRow("port zero") << "127.0.0.1" << "0" << badPort << outOfRange;
        QTest::newRow("port 65536") << "127.0.0.1" << "65536" << badPort << outOfRange;
        QTest::newRow("20 digits") << "127.0.0.1" << "99999999999999999999" << badPort << outOfRange;
        QTest::newRow("10,000 digits") << "127.0.0.1" << QString(10000, u'9') << badPort << outOfRange;
        QTest::newRow("nobody listening") << "127.0.0.1" << "{free}" << socketErrorText(ECONNREFUSED)
                                          << "Cannot connect to";
        // A scope "%1" is part of the address: quoted as typed, not filled in.
        QTest::newRow("nobody listening, scoped IPv6") << "::1%1" << "{free}" << socketErrorText(ECONNREFUSED)
                                                       << "Cannot connect to \"::1%1\" port ";

        // The relay's own listener, {self}, by any road: refused before a
        // connect, so no client is ever relayed back to the relay.
        const QString self = socketErrorText(Endpoint::SelfConnectError);
        const QString ownPort = QStringLiteral("where this relay itself listens");
        QTest::newRow("this relay") << "127.0.0.1" << "{self}" << self << ownPort;
        QTest::newRow("this relay over IPv6") << "::1" << "{self}" << self << ownPort;
        QTest::newRow("this relay by name") << "localhost" << "{self}" << self << ownPort;
        QTest::newRow("this relay, unspecified address") << "0.0.0.0" << "{self}" << self << ownPort;
        QTest::newRow("this relay, IPv4-mapped") << "::ffff:127.0.0.1" << "{self}" << self << ownPort;
        QTest::newRow("this relay, TLS") << "127.0.0.1" << "+{self}" << self << ownPort;
    }
    void upstreamFieldTexts()
    {
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(QString, outcome);
        QFETCH(QString, reason);

        Server upstream4(QHostAddress(QHostAddress::LocalHost));
        Server upstream6(QHostAddress(QHostAddress::LocalHostIPv6));
        QVERIFY(upstream4.isListening());
        if (((server + port).contains(QLatin1String("{v6}")) || server.startsWith(QLatin1String("::1")))
            && !upstream6.isListening())
            QSKIP("no IPv6 loopback here");
        const auto fill = [&](QString text) {
            return text.replace(QLatin1String("{v4}"), QString::number(upstream4.port()))
                .replace(QLatin1String("{v6}"), QString::number(upstream6.port()))
                .replace(QLatin1String("{free}"), QString::number(pelktest::freeLoopbackPort()));
        };

        Form1 form;
        pelktest::fillForm(form, fill(server), fill(port));
        form.cmd_startstop_Click();
        QVERIFY(form.running);
        const quint16 relayPort = quint16(form.relay.Winsock1(0).LocalPort());
        form.bounce_port->setText(form.bounce_port->text().replace(QLatin1String("{self}"),
                                                                    QString::number(relayPort)));

        // The window never blocks: Connect() returns at once, and what
        // becomes of the connect reaches the window later, from the loop.
        // Seen right after the relay's own handler (connected first) took
        // the client, its upstream is still being looked up or connected;
        // only a setting refused before any connect has closed the slot, and
        // says so already.
        std::optional<SocketState> upstreamAfterAccept;
        QString statusAfterAccept;
        connect(&form.relay.Winsock1, &EndpointArray::ConnectionRequest, this, [&](int Index) {
            if (Index == 0 && form.relay.Winsock1.UBound() >= 1) {
                upstreamAfterAccept = form.relay.Winsock2(1).State();
                statusAfterAccept = form.lbl_status->text();
            }
        });

        auto client = Connection::connectTo(loopback, relayPort);
        client->closeOnFin = true;
        if (outcome == QLatin1String("relayed")) {
            QVERIFY(roundTrip(*client, "NICK fields\r\n"));
            QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: Accepting Connections"));
        } else {
            client->send(QByteArray("NICK fields\r\n"));
            // Closed by the failure itself, well within the relay's own time
            // limit for a connect.
            QTRY_VERIFY_WITH_TIMEOUT(client->peerFinished() || !client->isOpen(), Endpoint::ConnectTimeoutMs / 2);
            QCOMPARE(client->error(), 0);
            QCOMPARE(client->bytesReceived(), 0);
            QCOMPARE(form.lbl_status->text(), QStringLiteral("Status: ") + outcome);
            const QString tip = plainToolTip(form.lbl_status);
            QVERIFY2(tip.contains(reason), qPrintable(tip.left(300)));
            QVERIFY2(tip.size() < 1000, qPrintable(tip.left(300)));
            QTRY_COMPARE(form.relay.connectedClients(), 0);
            QCOMPARE(form.relay.Winsock1.UBound(), 1); // that one client's slot, and no other
            QVERIFY(form.relay.pending_data[1].isEmpty()); // what it held is dropped
        }
        QVERIFY(upstreamAfterAccept.has_value());
        if (outcome == QLatin1String("No server host") || outcome == QLatin1String("Bad server port")) {
            QCOMPARE(*upstreamAfterAccept, SocketState::Closed);
            QCOMPARE(statusAfterAccept, QStringLiteral("Status: ") + outcome);
        } else {
            QVERIFY2(*upstreamAfterAccept == SocketState::ResolvingHost || *upstreamAfterAccept == SocketState::Connecting,
                     qPrintable(stateText(*upstreamAfterAccept)));
            QCOMPARE(statusAfterAccept, QStringLiteral("Status: Accepting Connections"));
        }
        form.cmd_startstop_Click();
        QVERIFY(!form.running);
    }
};

PELKTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
