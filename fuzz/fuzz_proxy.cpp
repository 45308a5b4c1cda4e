// libFuzzer target: the proxy reply parsers (ProxyExchange) on any bytes, cut
// into reads at any places, and parseProxyUrl() on any text.
//
// The first input byte chooses the proxy (bit 0: HTTP instead of SOCKS5, bit
// 1: with a login, bit 2: the server given as an IPv6 address instead of a
// name) and bits 3-7 a read size (1 to 32 bytes). The rest is what the proxy
// sends. Checked against the contract: every step is NeedMore, Write, Done or
// Failed; once Done or Failed the exchange ends; a failure has a known
// phrase and a detail without the password; what Done gives is a suffix of
// the input, so nothing past the reply is lost; and the bytes kept stay
// within the reply bound.

#include "proxyexchange.h"
#include "socketerrors.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void broken(const char *what, const QByteArray &input)
{
    std::fprintf(stderr, "proxy exchange: %s (input %s)\n", what, input.left(80).toHex(' ').constData());
    std::abort();
}

const QString Password = QStringLiteral("fuzz-pass");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    // The same bytes as a URL: any text is read or refused, never more.
    QString why;
    if (const std::optional<pelk::ProxyUrl> url = pelk::parseProxyUrl(QString::fromUtf8(input), &why)) {
        if (url->host.isEmpty() || url->port == 0)
            broken("a URL accepted without host or port", input);
        // Shown as scheme://[user@]host:port: a colon before the @ would be a password.
        const QString shown = url->displayText();
        const qsizetype start = shown.indexOf(QLatin1String("://")) + 3;
        const qsizetype at = shown.indexOf(u'@');
        if (at >= 0 && shown.mid(start, at - start).contains(u':'))
            broken("the password shown", input);
    } else if (why.isEmpty()) {
        broken("a URL refused without a reason", input);
    }

    pelk::ProxyUrl proxy;
    proxy.kind = (data[0] & 1) ? pelk::ProxyUrl::Kind::Http : pelk::ProxyUrl::Kind::Socks5;
    proxy.host = QStringLiteral("127.0.0.1");
    proxy.port = 1080;
    if (data[0] & 2) {
        proxy.user = QStringLiteral("fuzz");
        proxy.password = Password;
    }
    const QString host = (data[0] & 4) ? QStringLiteral("2001:db8::1") : QStringLiteral("irc.example.invalid");
    const qsizetype readBytes = 1 + (data[0] >> 3);

    pelk::ProxyExchange exchange(proxy, host, 6697);
    pelk::ProxyExchange::Step step = exchange.start();
    if (step.kind != pelk::ProxyExchange::Step::Write || step.bytes.isEmpty())
        broken("no request to start with", input);
    const QStringList phrases = pelk::socketErrorPhrases();
    for (qsizetype fed = 0; fed < input.size();) {
        const QByteArrayView chunk = QByteArrayView(input).sliced(fed, std::min(readBytes, input.size() - fed));
        fed += chunk.size();
        step = exchange.feed(chunk);
        // Bounded: one Write per request the client sends, and no more.
        for (int writes = 0; step.kind == pelk::ProxyExchange::Step::Write; ++writes) {
            if (writes > 2)
                broken("endless requests", input);
            step = exchange.feed({});
        }
        if (step.kind == pelk::ProxyExchange::Step::Done) {
            // The reply ends in the read that completed it; the rest of that
            // read is the server's.
            if (!chunk.endsWith(step.bytes))
                broken("bytes after the reply lost or changed", input);
            return 0;
        }
        if (step.kind == pelk::ProxyExchange::Step::Failed) {
            if (!phrases.contains(step.error.text) || step.error.detail.isEmpty())
                broken("a failure without a known phrase or a detail", input);
            if (step.error.detail.contains(Password))
                broken("the password in a detail", input);
            if (exchange.feed("x").kind != pelk::ProxyExchange::Step::Failed)
                broken("an exchange going on after it failed", input);
            return 0;
        }
        if (fed > pelk::ProxyExchange::MaxReplyBytes + 2 * readBytes)
            broken("more than the reply bound kept without an end", input);
    }
    const pelk::ProxyExchange::Step end = exchange.endOfStream();
    if (end.kind != pelk::ProxyExchange::Step::Failed || end.error.detail.contains(Password))
        broken("an end of stream that is no failure", input);
    return 0;
}
