#pragma once

#include "relay.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace pelk {

// The texts a relay starts with when nothing else is given: the window's
// fields before anything is typed, and the headless program's settings.
QString defaultListenText();
QString defaultServerHost();
QString defaultServerPort();

// What a status line shows: a short phrase, and the whole story behind it
// (a tooltip's text; empty when there is none).
struct RelayStatus
{
    QString phrase;
    QString detail;

    // "Status: Accepting Connections", as the status line reads.
    QString text() const;
};

// Start and Stop of a relay, and its status, without any widget: the window
// and the headless program both run the relay through it.
//
// start() listens where a listen text says, unless the relay's access
// policy refuses to (a login that would be lent); the status says where and
// who may connect, or why it could not listen. While it listens, the relay's
// notices become the status, and an ended notice gives the listening status
// back. stop() closes the listener, lets the events already waiting be
// handled (a start() called from there listens again), then closes every
// slot, lowest first, and says "Stopped" unless a start() has listened
// meanwhile. statusChanged fires on every change of the status.
class RelayControl : public QObject
{
    Q_OBJECT
public:
    explicit RelayControl(Relay &relay, QObject *parent = nullptr);

    // True when listening; otherwise status() says why not.
    bool start(const QString &listenText);
    void stop();

    bool listening() const { return m_listening; }
    const RelayStatus &status() const { return m_status; }

    // Every phrase the status can have (as far as known in advance), for
    // sizing a status line.
    static QStringList statusPhrases();

signals:
    void statusChanged();

private:
    void setStatus(const QString &phrase, const QString &detail);
    void showListening();
    void onRelayNotice(const QString &text, const QString &detail);

    Relay &m_relay;
    bool m_listening = false;
    ListenText m_place; // where the last start() listens
    RelayStatus m_status;
};

} // namespace pelk
