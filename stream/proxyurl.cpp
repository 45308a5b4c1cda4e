#include "proxyurl.h"
#include "porttext.h"

#include <QUrl>

namespace pelk {

QString ProxyUrl::displayText() const
{
    const QString scheme = kind == Kind::Socks5 ? QStringLiteral("socks5") : QStringLiteral("http");
    const QString login = user.isEmpty() ? QString() : QString::fromLatin1(QUrl::toPercentEncoding(user)) + u'@';
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    // One pass: a percent sign of the user name is no place marker.
    return QStringLiteral("%1://%2%3:%4").arg(scheme, login, shownHost, QString::number(port))
           + (isolate ? QStringLiteral(" (a login of its own for each client)") : QString());
}

std::optional<ProxyUrl> parseProxyUrl(const QString &text, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<ProxyUrl> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QString trimmed = text.trimmed();
    if (!trimmed.contains(QLatin1String("://")))
        return fail(QStringLiteral("a proxy URL is socks5://HOST:PORT or http://HOST:PORT"));
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid()) {
        // QUrl's reason is followed by the source text, password and all.
        return fail(QStringLiteral("not a usable URL: %1").arg(url.errorString().section(u';', 0, 0)));
    }
    ProxyUrl proxy;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h"))
        proxy.kind = ProxyUrl::Kind::Socks5;
    else if (scheme == QLatin1String("http"))
        proxy.kind = ProxyUrl::Kind::Http;
    else
        return fail(QStringLiteral("the scheme %1 is neither socks5 nor http").arg(quotedInput(url.scheme())));
    proxy.host = url.host(QUrl::FullyDecoded);
    if (proxy.host.isEmpty())
        return fail(QStringLiteral("the URL names no proxy host"));
    if (url.port() <= 0)
        return fail(QStringLiteral("the URL names no proxy port (as in %1://HOST:1080)").arg(scheme));
    proxy.port = quint16(url.port());
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return fail(QStringLiteral("a proxy URL has no path"));
    if (url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("a proxy URL has no query or fragment"));
    proxy.user = url.userName(QUrl::FullyDecoded);
    proxy.password = url.password(QUrl::FullyDecoded);
    if (proxy.hasLogin() && proxy.user.isEmpty())
        return fail(QStringLiteral("a password without a user name"));
    if (proxy.kind == ProxyUrl::Kind::Socks5
        && (proxy.user.toUtf8().size() > ProxyUrl::MaxSocksFieldBytes
            || proxy.password.toUtf8().size() > ProxyUrl::MaxSocksFieldBytes)) {
        return fail(QStringLiteral("a SOCKS5 user name or password is at most 255 bytes long"));
    }
    return proxy;
}

QString ProxyUrl::isolationProblem() const
{
    if (!isolate)
        return {};
    if (kind != Kind::Socks5)
        return QStringLiteral("--proxy-isolate gives each client a SOCKS5 login of its own; an HTTP proxy has "
                              "none to give: use a socks5:// proxy, or leave out --proxy-isolate.");
    if (hasLogin())
        return QStringLiteral("--proxy-isolate makes up a SOCKS5 login for each client, so the proxy URL must "
                              "have none of its own: take USER:PASSWORD@ out of it, or leave out --proxy-isolate.");
    return {};
}

QString ProxyUrl::description() const
{
    return QStringLiteral("the %1 proxy %2")
        .arg(kind == Kind::Socks5 ? QStringLiteral("SOCKS5") : QStringLiteral("HTTP"), displayText());
}

} // namespace pelk
