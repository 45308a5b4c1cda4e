#include "relaycontrol.h"

#include "fingerprint.h"
#include "porttext.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QList>

namespace pelk {

namespace {

QString acceptingPhrase() { return QStringLiteral("Accepting Connections"); }
QString stoppedPhrase() { return QStringLiteral("Stopped"); }

// Where the relay listens, and who can use it from there (served).
QString listeningToolTip(const QList<QHostAddress> &addresses, int port, const QString &served)
{
    QStringList places;
    for (const QHostAddress &address : addresses) {
        if (address == QHostAddress::AnyIPv6)
            places << QStringLiteral("every IPv6 and IPv4 address");
        else if (address == QHostAddress::AnyIPv4)
            places << QStringLiteral("every IPv4 address");
        else
            places << address.toString();
    }
    return QStringLiteral("Listening on %1, port %2.\n%3").arg(places.join(QStringLiteral(" and "))).arg(port).arg(served);
}

QString portProblemToolTip(const QString &typed, PortText::Problem problem)
{
    QString reason;
    switch (problem) {
    case PortText::None:
        break;
    case PortText::Empty:
        reason = QStringLiteral("The listen port is empty.");
        break;
    case PortText::NotNumber:
        reason = QStringLiteral("The listen port %1 is not a number: only the digits 0 to 9 "
                                "are allowed.").arg(quotedInput(typed));
        break;
    case PortText::OutOfRange:
        reason = QStringLiteral("The listen port %1 is out of range.").arg(quotedInput(typed));
        break;
    }
    return reason + QStringLiteral(" Type a port from 1 to 65535, or 0 to let the system "
                                   "choose a free one.");
}

QString listenAddressToolTip(const QString &typed, ListenText::AddressProblem problem)
{
    QString reason;
    switch (problem) {
    case ListenText::AddressOk:
        break;
    case ListenText::NotAnAddress:
        reason = QStringLiteral("The listen address in %1 is not an IPv4 or IPv6 address.").arg(quotedInput(typed));
        break;
    case ListenText::IPv6WithoutBrackets:
        reason = QStringLiteral("In %1 an IPv6 address needs brackets around it, as in [::1]:6667.")
                         .arg(quotedInput(typed));
        break;
    case ListenText::NoAddress:
        reason = QStringLiteral("%1 has no address before the colon.").arg(quotedInput(typed));
        break;
    }
    return reason + QStringLiteral(" Type PORT to listen on this computer only, *:PORT to listen on "
                                   "every address, or ADDRESS:PORT ([ADDRESS]:PORT for IPv6) for one.");
}

} // namespace

QString defaultListenText() { return QStringLiteral("6667"); }
QString defaultServerHost() { return QStringLiteral("irc.libera.chat"); }
QString defaultServerPort() { return QStringLiteral("6667"); }

QString RelayStatus::text() const
{
    return QStringLiteral("Status: ") + phrase;
}

RelayControl::RelayControl(Relay &relay, QObject *parent)
    : QObject(parent)
    , m_relay(relay)
{
    connect(&m_relay, &Relay::notice, this, &RelayControl::onRelayNotice);
}

QStringList RelayControl::statusPhrases()
{
    QStringList phrases{acceptingPhrase(), stoppedPhrase()};
    for (const auto problem : {PortText::Empty, PortText::NotNumber, PortText::OutOfRange})
        phrases << portProblemText(problem);
    phrases << listenAddressProblemText();
    // The relay's notices include every socket error, so also whatever a
    // failed Listen() can report.
    phrases << Relay::noticePhrases();
    return phrases;
}

bool RelayControl::start(const QString &listenText)
{
    m_listening = false;
    const ListenText parsed = parseListenText(listenText);
    if (parsed.addressProblem != ListenText::AddressOk) {
        setStatus(listenAddressProblemText(), listenAddressToolTip(listenText, parsed.addressProblem));
        return false;
    }
    if (!parsed.port.ok()) {
        setStatus(portProblemText(parsed.port.problem), portProblemToolTip(listenText, parsed.port.problem));
        return false;
    }

    if (const std::optional<EndpointError> problem = m_relay.startProblem(parsed)) {
        setStatus(problem->text, problem->detail);
        return false;
    }
    Endpoint &listener = m_relay.Winsock1(0);
    listener.setListenPlace(parsed);
    m_place = parsed;
    if (!listener.Listen()) {
        const EndpointError error = listener.lastError();
        setStatus(error.text, error.detail);
        return false;
    }
    m_listening = true;
    showListening();
    return true;
}

void RelayControl::stop()
{
    m_listening = false;
    m_relay.Winsock1(0).Close();

    // Events already waiting are handled before the slots close, so data that
    // has arrived is still relayed. A start() run from here may listen
    // again; the slots that exist after the pump are closed all the same.
    QCoreApplication::processEvents();

    const int n = m_relay.Winsock1.UBound();
    for (int i = 1; i <= n; ++i)
        m_relay.closeSlot(i);

    // A start() run by the pump has already set a status of its own.
    if (!m_listening)
        setStatus(stoppedPhrase(), {});
}

void RelayControl::setStatus(const QString &phrase, const QString &detail)
{
    m_status = {phrase, detail};
    emit statusChanged();
}

void RelayControl::showListening()
{
    const Endpoint &listener = m_relay.Winsock1(0);
    QString tip = listeningToolTip(listener.listeningAddresses(), listener.LocalPort(), m_relay.servedText(m_place));
    if (listener.listenTls()) {
        tip += QStringLiteral("\nClients speak TLS to it. The relay's certificate, SHA-256: %1")
                   .arg(fingerprintText(m_relay.listenCertificateSha256()));
    }
    const QByteArray clientCertificate = m_relay.clientCertificateSha256();
    if (!clientCertificate.isEmpty()) {
        tip += QStringLiteral("\nClient certificate for TLS servers, SHA-256: %1")
                   .arg(QString::fromLatin1(clientCertificate.toHex()));
    }
    const QString proxy = m_relay.proxyText();
    if (!proxy.isEmpty())
        tip += QStringLiteral("\nServers are reached through the proxy %1.").arg(proxy);
    setStatus(acceptingPhrase(), tip);
}

void RelayControl::onRelayNotice(const QString &text, const QString &detail)
{
    if (!m_listening)
        return;
    if (text.isEmpty())
        showListening();
    else
        setStatus(text, detail);
}

} // namespace pelk
