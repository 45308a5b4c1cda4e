#pragma once

// Test peers on plain non-blocking sockets watched by QSocketNotifiers, so
// that the relay is checked by code that shares nothing with it. Unlike
// QTcpSocket they tell a FIN from a reset: a peer that finished is
// peerFinished(), a reset or any other failure leaves its errno in error().

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QHostAddress>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace pelktest {

// One end of a TCP connection.
//
// send() queues what the kernel does not take at once (a QByteArray is queued
// without a copy). shutdownSend() sends FIN once the queue is out. The socket
// is released (closed, isOpen() false) once both sides have sent FIN, when it
// fails, or by reset(), which closes with a reset and drops the queue.
//
// What arrives is hashed, and kept in received() unless keepReceived is off.
// With echo on it is sent back, and reading pauses while more than
// EchoHighWaterBytes wait to go back. With closeOnFin on, the peer's FIN is
// answered with ours.
//
// Callbacks run from the event loop; none may destroy the connection.
class Connection
{
public:
    static constexpr qsizetype EchoHighWaterBytes = 1024 * 1024;
    static constexpr qsizetype ReadChunkBytes = 64 * 1024;
    static constexpr int MaxReadsPerWakeup = 8;

    // Connects a new socket, or `fd` when given (a socket not yet connected).
    static std::unique_ptr<Connection> connectTo(const QHostAddress &address, quint16 port,
                                                 int fd = -1);

    // Takes a socket: connected already, or with a connect in progress.
    explicit Connection(int fd, bool connecting = false);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void send(const QByteArray &data);
    void send(QByteArrayView data) { send(data.toByteArray()); }
    void shutdownSend();
    void reset();
    void setReading(bool on);

    bool isOpen() const { return m_fd >= 0; }
    bool isConnected() const { return m_connected; }
    bool peerFinished() const { return m_peerFinished; }
    bool finSent() const { return m_finSent; }
    int error() const { return m_error; }
    // Finished by the peer, or failed.
    bool ended() const { return m_peerFinished || m_error != 0; }
    quint16 localPort() const { return m_localPort; }

    qint64 bytesSent() const { return m_bytesSent; }    // taken by the kernel
    qint64 bytesReceived() const { return m_bytesReceived; }
    qsizetype bytesQueued() const { return m_queuedBytes; }
    const QByteArray &received() const { return m_received; }
    QByteArray receivedHash() const { return m_hash.result(); }

    bool echo = false;
    bool closeOnFin = false;
    bool keepReceived = true;

    std::function<void()> onConnected;
    std::function<void(QByteArrayView chunk)> onData;
    std::function<void()> onDrained; // the kernel has taken all that was queued
    std::function<void()> onEnded; // released after FIN both ways, or failed

private:
    void onReadable();
    void onWritable();
    void finishConnect();
    void flush();
    void fail(int code);
    void releaseIfDone();
    void release(bool reset);
    void updateInterest();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    bool m_connecting = false;
    bool m_connected = false;
    bool m_reading = true;
    bool m_peerFinished = false;
    bool m_finPending = false;
    bool m_finSent = false;
    int m_error = 0;
    quint16 m_localPort = 0;

    std::deque<QByteArray> m_queue;
    qsizetype m_queueHead = 0; // bytes of m_queue.front() already sent
    qsizetype m_queuedBytes = 0;
    qint64 m_bytesSent = 0;
    qint64 m_bytesReceived = 0;
    QByteArray m_received;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
};

// A non-blocking listening TCP socket on `address` with a system-chosen port,
// stored in *port; -1 on failure. receiveBufferBytes > 0 caps the kernel's
// receive buffer of every connection it accepts.
int listenSocket(const QHostAddress &address, int backlog, quint16 *port, int receiveBufferBytes = 0);

// A listener on one loopback address with a system-chosen port. Every
// connection it accepts becomes a Connection with the options below, kept in
// accept order.
class Server
{
public:
    // receiveBufferBytes > 0 caps the kernel's receive buffer of every
    // accepted connection, so that a connection that does not read makes
    // its sender hold data soon.
    explicit Server(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                    int receiveBufferBytes = 0);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool isListening() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }
    QHostAddress address() const { return m_address; }

    bool echo = true;
    bool closeOnFin = true;
    bool keepReceived = true;
    bool reading = true; // false: new connections do not read until told to

    std::vector<std::unique_ptr<Connection>> connections;
    std::function<void(Connection &)> onAccepted;

    // Forgets released connections; not to be called from their callbacks.
    void dropReleased();

private:
    void acceptPending();

    QHostAddress m_address;
    int m_fd = -1;
    quint16 m_port = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace pelktest
