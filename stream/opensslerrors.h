#pragma once

#include <QString>

namespace pelk {

// The earliest error OpenSSL queued, in its own words (the queue is
// emptied); else what the socket said (savedErrno after SSL_ERROR_SYSCALL),
// else that the peer closed the connection.
QString failureReason(int sslError, int savedErrno);

} // namespace pelk
