#include "proxyexchange.h"
#include "porttext.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QUrl>

#include <algorithm>
#include <initializer_list>

namespace pelk {

namespace {

constexpr char SocksVersion = 5;
constexpr char SocksLoginVersion = 1;
constexpr unsigned char SocksNoLogin = 0x00;
constexpr unsigned char SocksUserPassword = 0x02;
constexpr unsigned char SocksNoAcceptableMethod = 0xff;
constexpr char SocksConnect = 1;
constexpr unsigned char SocksIPv4 = 1, SocksName = 3, SocksIPv6 = 4;

// RFC 1928's reply codes, as words.
QString socksReplyText(unsigned char code)
{
    switch (code) {
    case 1: return QStringLiteral("general failure");
    case 2: return QStringLiteral("not allowed by its rules");
    case 3: return QStringLiteral("network unreachable");
    case 4: return QStringLiteral("host unreachable");
    case 5: return QStringLiteral("connection refused");
    case 6: return QStringLiteral("TTL expired");
    case 7: return QStringLiteral("command not supported");
    case 8: return QStringLiteral("address type not supported");
    default: return QStringLiteral("unknown reply %1").arg(code);
    }
}

// "0x05": a byte of a reply, for messages.
QString hexByte(unsigned char byte)
{
    return QStringLiteral("0x%1").arg(uint(byte), 2, 16, QLatin1Char('0'));
}

// A host name as the proxy gets it: its ASCII form, and only what a DNS name
// (or an .onion one) can hold, so that nothing can break out of the CONNECT
// line or the SOCKS5 field.
QByteArray asciiName(const QString &name)
{
    const QByteArray ascii = QUrl::toAce(name);
    const bool clean = !ascii.isEmpty() && ascii.size() <= ProxyUrl::MaxSocksFieldBytes
                       && std::all_of(ascii.cbegin(), ascii.cend(), [](char c) {
                              return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                                     || c == '-' || c == '.' || c == '_';
                          });
    return clean ? ascii : QByteArray();
}

QByteArray bytesOf(std::initializer_list<char> bytes)
{
    return QByteArray(bytes.begin(), qsizetype(bytes.size()));
}

QByteArray lengthPrefixed(const QByteArray &field)
{
    return char(field.size()) + field;
}

QByteArray bigEndian16(quint16 value)
{
    return bytesOf({char(value >> 8), char(value & 0xff)});
}

} // namespace

ProxyExchange::ProxyExchange(ProxyUrl proxy, QString host, quint16 port)
    : m_proxy(std::move(proxy))
    , m_user(m_proxy.user)
    , m_password(m_proxy.password)
    , m_host(std::move(host))
    , m_port(port)
{
    if (m_proxy.isolate && !m_proxy.hasLogin() && m_proxy.kind == ProxyUrl::Kind::Socks5) {
        // 128 random bits each: no two connections share a login.
        const auto randomHex = [] {
            quint64 bits[2];
            QRandomGenerator::system()->fillRange(bits);
            return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bits), sizeof bits).toHex());
        };
        m_user = QStringLiteral("pelk-") + randomHex();
        m_password = randomHex();
        m_madeUpLogin = true;
    }
}

QString ProxyExchange::proxyText() const
{
    return m_proxy.description();
}

QString ProxyExchange::targetText() const
{
    return QStringLiteral("%1 port %2").arg(quotedInput(m_host), QString::number(m_port));
}

ProxyExchange::Step ProxyExchange::fail(int code, const QString &why) const
{
    Step step;
    step.kind = Step::Failed;
    step.error = failureOf(code, why);
    return step;
}

ProxyExchange::Step ProxyExchange::start()
{
    m_phase = Phase::Over;
    QHostAddress literal;
    const bool isAddress = literal.setAddress(m_host);
    const QByteArray name = isAddress ? QByteArray() : asciiName(m_host);
    if (!isAddress && name.isEmpty()) {
        return fail(HostNotFoundError,
                    QStringLiteral("Cannot ask %1 for host %2: a host name holds only letters, digits, "
                                   "'-', '_' and '.', and at most 255 of them.")
                            .arg(proxyText(), quotedInput(m_host)));
    }
    Step step;
    step.kind = Step::Write;
    if (m_proxy.kind == ProxyUrl::Kind::Socks5) {
        const char method = char(m_proxy.hasLogin() || m_madeUpLogin ? SocksUserPassword : SocksNoLogin);
        step.bytes = m_madeUpLogin ? bytesOf({SocksVersion, 2, method, char(SocksNoLogin)})
                                   : bytesOf({SocksVersion, 1, method});
        m_phase = Phase::Method;
        return step;
    }
    literal.setScopeId(QString()); // a scope means nothing on the proxy's machine
    QString authority = isAddress ? literal.toString() : QString::fromLatin1(name);
    if (literal.protocol() == QAbstractSocket::IPv6Protocol)
        authority = u'[' + authority + u']';
    authority += u':' + QString::number(m_port);
    QByteArray request = "CONNECT " + authority.toLatin1() + " HTTP/1.1\r\nHost: " + authority.toLatin1() + "\r\n";
    if (m_proxy.hasLogin())
        request += "Proxy-Authorization: Basic " + (m_proxy.user + u':' + m_proxy.password).toUtf8().toBase64() + "\r\n";
    step.bytes = request + "\r\n";
    m_phase = Phase::Reply;
    return step;
}

ProxyExchange::Step ProxyExchange::feed(QByteArrayView received)
{
    if (m_phase == Phase::Over || m_phase == Phase::Start)
        return fail(ProxyProtocolError, QStringLiteral("The exchange with %1 is over.").arg(proxyText()));
    m_buffer.append(received);
    const Step step = m_proxy.kind == ProxyUrl::Kind::Socks5 ? feedSocks() : feedHttp();
    if (step.kind == Step::Done || step.kind == Step::Failed) {
        m_phase = Phase::Over;
        m_buffer = QByteArray();
    }
    return step;
}

ProxyExchange::Step ProxyExchange::endOfStream() const
{
    return fail(ProxyRefusedError, QStringLiteral("%1 closed the connection before it had replied to the "
                                                  "request for %2.")
                                           .arg(proxyText(), targetText()));
}

ProxyExchange::Step ProxyExchange::socksRequest()
{
    QByteArray request = bytesOf({SocksVersion, SocksConnect, 0});
    QHostAddress literal;
    if (literal.setAddress(m_host) && literal.protocol() == QAbstractSocket::IPv4Protocol) {
        request += char(SocksIPv4) + bigEndian16(quint16(literal.toIPv4Address() >> 16))
                   + bigEndian16(quint16(literal.toIPv4Address()));
    } else if (literal.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = literal.toIPv6Address();
        request += char(SocksIPv6) + QByteArray(reinterpret_cast<const char *>(bytes.c), 16);
    } else {
        request += char(SocksName) + lengthPrefixed(asciiName(m_host));
    }
    Step step;
    step.kind = Step::Write;
    step.bytes = request + bigEndian16(m_port);
    m_phase = Phase::Reply;
    return step;
}

ProxyExchange::Step ProxyExchange::feedSocks()
{
    const auto byte = [this](qsizetype i) { return static_cast<unsigned char>(m_buffer.at(i)); };
    const QString notSocks = QStringLiteral("%1 replied with something other than SOCKS5 (first bytes %2).");
    switch (m_phase) {
    case Phase::Method: {
        if (m_buffer.size() < 2)
            return {};
        if (byte(0) != SocksVersion)
            return fail(ProxyProtocolError, notSocks.arg(proxyText(), QString::fromLatin1(m_buffer.left(8).toHex(' '))));
        const unsigned char method = byte(1);
        const unsigned char offered = m_proxy.hasLogin() || m_madeUpLogin ? SocksUserPassword : SocksNoLogin;
        if (method == SocksNoAcceptableMethod) {
            return fail(ProxyLoginError,
                        m_proxy.hasLogin()
                                ? QStringLiteral("%1 does not take a user name and password.").arg(proxyText())
                                : QStringLiteral("%1 wants a login: put USER:PASSWORD@ before its host in the "
                                                 "proxy URL.").arg(proxyText()));
        }
        if (method != offered && !(m_madeUpLogin && method == SocksNoLogin)) {
            return fail(ProxyProtocolError, QStringLiteral("%1 chose the login method %2, which was not offered.")
                                                    .arg(proxyText(), QString::number(method)));
        }
        m_buffer.remove(0, 2);
        if (method == SocksNoLogin)
            return socksRequest();
        m_phase = Phase::Login;
        Step step;
        step.kind = Step::Write;
        step.bytes = SocksLoginVersion + lengthPrefixed(m_user.toUtf8()) + lengthPrefixed(m_password.toUtf8());
        return step;
    }
    case Phase::Login:
        if (m_buffer.size() < 2)
            return {};
        if (byte(0) != SocksLoginVersion) {
            return fail(ProxyProtocolError, QStringLiteral("%1 answered the login with version %2 instead of 0x01.")
                                                    .arg(proxyText(), hexByte(byte(0))));
        }
        if (byte(1) != 0) {
            return fail(ProxyLoginError, m_madeUpLogin
                                             ? QStringLiteral("%1 refused the login made up to keep this client "
                                                              "apart (status %2): it wants a login of its own.")
                                                   .arg(proxyText(), QString::number(byte(1)))
                                             : QStringLiteral("%1 refused the login of user %2 (status %3).")
                                                   .arg(proxyText(), quotedInput(m_proxy.user),
                                                        QString::number(byte(1))));
        }
        m_buffer.remove(0, 2);
        return socksRequest();
    case Phase::Reply: {
        if (m_buffer.size() < 2)
            return {};
        if (byte(0) != SocksVersion)
            return fail(ProxyProtocolError, notSocks.arg(proxyText(), QString::fromLatin1(m_buffer.left(8).toHex(' '))));
        if (byte(1) != 0) {
            return fail(ProxyRefusedError, QStringLiteral("%1 refused the connection to %2: %3.")
                                                   .arg(proxyText(), targetText(), socksReplyText(byte(1))));
        }
        if (m_buffer.size() < 5)
            return {};
        if (byte(2) != 0) {
            return fail(ProxyProtocolError, QStringLiteral("%1 replied with the reserved byte %2 instead of 0x00.")
                                                    .arg(proxyText(), hexByte(byte(2))));
        }
        qsizetype addressBytes = 0;
        switch (byte(3)) {
        case SocksIPv4: addressBytes = 4; break;
        case SocksIPv6: addressBytes = 16; break;
        case SocksName: addressBytes = 1 + byte(4); break;
        default:
            return fail(ProxyProtocolError, QStringLiteral("%1 replied with the unknown address type %2.")
                                                    .arg(proxyText(), QString::number(byte(3))));
        }
        const qsizetype replyBytes = 4 + addressBytes + 2;
        if (m_buffer.size() < replyBytes)
            return {};
        Step step;
        step.kind = Step::Done;
        step.bytes = m_buffer.mid(replyBytes);
        return step;
    }
    case Phase::Start:
    case Phase::Over:
        break;
    }
    return {};
}

ProxyExchange::Step ProxyExchange::feedHttp()
{
    // Interim (1xx) replies may come before the final one and are skipped;
    // ends, as every pass drops a whole header from the buffer.
    for (;;) {
        // The header ends at an empty line; a bare LF is taken for CR LF.
        qsizetype end = -1;
        for (const QByteArrayView blank : {QByteArrayView("\r\n\r\n"), QByteArrayView("\n\n"), QByteArrayView("\n\r\n")}) {
            const qsizetype at = m_buffer.indexOf(blank);
            if (at >= 0 && (end < 0 || at + blank.size() < end))
                end = at + blank.size();
        }
        // The bound covers the interim headers too, or a proxy could send them forever.
        if (m_interimBytes + (end < 0 ? m_buffer.size() : end) > MaxReplyBytes) {
            return fail(ProxyProtocolError, QStringLiteral("The reply header of %1 is longer than %2 KiB.")
                                                    .arg(proxyText(), QString::number(MaxReplyBytes / 1024)));
        }
        if (end < 0)
            return {};
        QByteArray statusLine = m_buffer.left(m_buffer.indexOf('\n'));
        if (statusLine.endsWith('\r'))
            statusLine.chop(1);
        const QString shown = quotedInput(QString::fromLatin1(statusLine));
        // "HTTP/1.1 200 Connection established": a version, a code of three digits, words.
        const QList<QByteArray> parts = statusLine.split(' ');
        bool numeric = false;
        const int status = parts.size() >= 2 && parts.at(1).size() == 3 ? parts.at(1).toInt(&numeric) : 0;
        if (!statusLine.startsWith("HTTP/1.") || !numeric || status < 100) {
            return fail(ProxyProtocolError,
                        QStringLiteral("%1 replied with something other than HTTP: %2.").arg(proxyText(), shown));
        }
        // 101 would switch to another protocol, not open a tunnel: it is
        // refused below like any other answer that is not 2xx.
        if (status / 100 == 1 && status != 101) {
            m_interimBytes += end;
            m_buffer.remove(0, end);
            continue;
        }
        // 407 is a proxy's word for it; some (tinyproxy) answer 401.
        if (status == 407 || status == 401) {
            return fail(ProxyLoginError,
                        m_proxy.hasLogin()
                                ? QStringLiteral("%1 refused the login of user %2: %3.")
                                          .arg(proxyText(), quotedInput(m_proxy.user), shown)
                                : QStringLiteral("%1 wants a login (%2): put USER:PASSWORD@ before its host in the "
                                                 "proxy URL.").arg(proxyText(), shown));
        }
        if (status / 100 != 2) {
            return fail(ProxyRefusedError,
                        QStringLiteral("%1 refused the connection to %2: %3.").arg(proxyText(), targetText(), shown));
        }
        Step step;
        step.kind = Step::Done;
        step.bytes = m_buffer.mid(end);
        return step;
    }
}

} // namespace pelk
