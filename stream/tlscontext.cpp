#include "tlscontext.h"
#include "opensslerrors.h"
#include "tlsstage.h"

#include <openssl/ssl.h>

#include <utility>

namespace pelk {

namespace {

constexpr size_t ReadAheadBytes = 64 * 1024;

// What both sides' contexts share: TLS 1.2 or later, partial writes with a
// buffer that may move (the endpoint's queue keeps what OpenSSL has not
// taken and grows while it waits), record buffers given back whenever they
// are empty (an idle connection holds none), and whole socket reads of
// several records at once, whose buffer is given back once drained.
SSL_CTX *newContext(const SSL_METHOD *method, QString *error)
{
    SSL_CTX *context = SSL_CTX_new(method);
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
        *error = QStringLiteral("Cannot set up TLS: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                                  | SSL_MODE_RELEASE_BUFFERS);
    // Many peers close with a plain FIN and no close_notify: after a whole
    // record that ends the stream, as in plaintext. A FIN inside a record is
    // told apart by the stage's BIO (tlsbio.h) and is a broken stream.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, ReadAheadBytes);
    // Sessions are not resumed, so no tickets are kept or sent.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    return context;
}

} // namespace

SSL_CTX *TlsContext::context(QString *error)
{
    if (m_context)
        return m_context;
    SSL_CTX *context = newContext(TLS_client_method(), error);
    if (context && (SSL_CTX_set_default_verify_paths(context) != 1
                    || (!m_clientIdentity.isNull() && !m_clientIdentity.applyTo(context)))) {
        *error = QStringLiteral("Cannot set up TLS: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(std::exchange(context, nullptr));
    }
    if (!context)
        return nullptr;
    m_context = context;
    return m_context;
}

bool TlsContext::prepareServer(const QHostAddress &listenAddress, QString *error)
{
    TlsIdentity identity = m_configuredServerIdentity;
    if (identity.isNull() && !identity.generate(listenAddress, error))
        return false;
    SSL_CTX *context = newContext(TLS_server_method(), error);
    if (!context)
        return false;
    if (!identity.applyTo(context)) {
        *error = QStringLiteral("Cannot use the listen certificate: %1.").arg(failureReason(SSL_ERROR_SSL, 0));
        SSL_CTX_free(context);
        return false;
    }
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    if (pinsClients()) {
        // No list of authorities is offered: the client sends the
        // certificate it has, and TlsStage checks it against the pins.
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &TlsStage::verifyPeer);
    }
    // Sessions still under way keep a reference to the context they began on.
    SSL_CTX_free(std::exchange(m_serverContext, context));
    m_serverIdentity = identity;
    return true;
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_context);
    SSL_CTX_free(m_serverContext);
}

} // namespace pelk
