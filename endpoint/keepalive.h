#pragma once

namespace pelk {

// When a connection's path counts as dead, as the kernel applies it to the
// socket: keepalive probes once the connection has been quiet for idleS,
// then every intervalS; probes, or sent data, left unanswered for
// unansweredMs end the connection with ETIMEDOUT (TCP_USER_TIMEOUT, which
// Linux then uses instead of a probe count). Probes carry no data, and the
// waiting is the kernel's: an idle connection costs the loop no timer and no
// wake-up.
struct KeepAlive
{
    int idleS;
    int intervalS;
    int unansweredMs;
};

// Sets keepalive on a TCP socket; a socket that refuses it keeps what it had.
void applyKeepAlive(int fd, const KeepAlive &keepAlive);

} // namespace pelk
