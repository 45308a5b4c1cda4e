#include "opensslerrors.h"

#include "socketcalls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace pelk {

QString failureReason(int sslError, int savedErrno)
{
    unsigned long first = 0;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        if (first == 0)
            first = code;
    }
    if (first != 0) {
        const char *reason = ERR_reason_error_string(first);
        if (reason)
            return QString::fromUtf8(reason);
        char text[256];
        ERR_error_string_n(first, text, sizeof text);
        return QString::fromUtf8(text);
    }
    if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0)
        return systemMessage(savedErrno);
    return QStringLiteral("the server closed the connection");
}

} // namespace pelk
