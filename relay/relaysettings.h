#pragma once

#include "accesspolicy.h"
#include "connectpacer.h"
#include "proxyurl.h"
#include "tlsidentity.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace pelk {

// What a program is told to relay with, read once from its command line
// (RelayOptions). The three texts are kept as typed, to be judged where
// typed text is judged (a window's fields, Start); each is none when not
// given, so that a window keeps what its field holds. The rest belongs to
// the relay and is handed to it by Relay::apply().
struct RelaySettings
{
    std::optional<QString> listen;     // the listen port text, as in the Listen Port field
    std::optional<QString> serverHost; // the upstream host text, as in the Server field
    std::optional<QString> serverPort; // the upstream port text ("+N" for TLS), as in the Port field

    QList<QByteArray> pins;       // SHA-256 of trusted certificates or public keys
    TlsIdentity clientIdentity;   // presented to every TLS server; null when none
    TlsIdentity listenIdentity;   // presented by a TLS listen port; null: made at each Start
    std::optional<ProxyUrl> proxy; // every server is reached through it; none: directly

    // Who may use a listen port beyond this computer: none means this
    // computer's own networks.
    std::optional<AllowedAddresses> allowed;
    QList<QByteArray> clientPins; // SHA-256 of the certificates (or keys) a TLS listen port serves
    int maxPerAddress = AccessPolicy::DefaultMaxPerAddress; // 0: no cap
    ConnectPacer::Pace pace = ConnectPacer::DefaultPace; // connects to one server in a window
};

} // namespace pelk
