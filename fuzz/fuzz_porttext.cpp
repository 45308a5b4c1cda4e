// libFuzzer target: parsePortText() and parseUpstreamPortText() on any text.
//
// The first input byte chooses the lowest port allowed, whether the rest is
// read as UTF-8 (malformed sequences included) or as raw UTF-16 code units
// (unpaired surrogates included), and which of the two parsers runs (the
// upstream one always has lowest 1). Checked against a model written from the
// contract, not from the code: ok() exactly when the trimmed text is one or
// more ASCII digits whose value lies in [lowest, 65535], and then port is
// that value; otherwise port is -1 and the problem is Empty for a blank text,
// NotNumber when anything but an ASCII digit is left, OutOfRange otherwise.
// For the upstream parser a single leading "+" right before the digits asks
// for TLS (tls() set exactly then); "+" alone is NotNumber, not Empty.
//
// Every text is also read as a listen text: one without a colon, "[" or "+" is a
// port for this computer only, read as parsePortText(text, 0); "*:" before a
// port is every address; any other accepted address is one that QHostAddress
// reads; TLS exactly when an accepted port has "+" right before it.

#include "porttext.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int LowestChoices[] = {0, 1, 1024, 65535};

[[noreturn]] void broken(const char *what, const QString &text, const pelk::PortText &got)
{
    std::fprintf(stderr, "parsePortText: %s (text %s, port %d, problem %d)\n", what,
                 text.left(80).toUtf8().toHex(' ').constData(), got.port, int(got.problem));
    std::abort();
}

void checkListenText(const QString &text)
{
    const pelk::ListenText listen = pelk::parseListenText(text);
    const QStringView trimmed = QStringView(text).trimmed();
    const auto fail = [&](const char *what) { broken(what, text, listen.port); };
    if (listen.ok() && listen.port.tls != trimmed.sliced(trimmed.lastIndexOf(u':') + 1).trimmed().startsWith(u'+'))
        fail("TLS other than for a \"+\" right before the port");
    if (!trimmed.contains(u':') && !trimmed.startsWith(u'+') && !trimmed.startsWith(u'[')) {
        const pelk::PortText alone = pelk::parsePortText(trimmed, 0);
        if (listen.addressProblem != pelk::ListenText::AddressOk || listen.scope != pelk::ListenScope::Loopback
            || listen.port.problem != alone.problem || listen.port.port != alone.port)
            fail("a port alone read other than as a port for this computer");
        return;
    }
    QStringView afterStar = trimmed.sliced(qMin<qsizetype>(2, trimmed.size())).trimmed();
    if (afterStar.startsWith(u'+'))
        afterStar = afterStar.sliced(1);
    if (trimmed.startsWith(u"*:") && listen.ok()
        && (listen.scope != pelk::ListenScope::Everywhere
            || listen.port.port != pelk::parsePortText(afterStar, 0).port))
        fail("\"*:PORT\" read other than as every address");
    if (listen.ok() && listen.scope == pelk::ListenScope::OneAddress && QHostAddress(listen.address).isNull())
        fail("an accepted address that is none");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool upstream = (data[0] & 8) != 0;
    const int lowest = upstream ? 1 : LowestChoices[data[0] & 3];
    const bool utf16 = (data[0] & 4) != 0;
    const auto *rest = reinterpret_cast<const char *>(data + 1);
    const size_t restSize = size - 1;

    QString text;
    if (utf16) {
        // Copied, since the input has no alignment for char16_t.
        text.resize(qsizetype(restSize / 2));
        std::memcpy(text.data(), rest, size_t(text.size()) * 2);
    } else {
        text = QString::fromUtf8(rest, qsizetype(restSize));
    }

    checkListenText(text);

    const pelk::PortText got = upstream ? pelk::parseUpstreamPortText(text)
                                        : pelk::parsePortText(text, lowest);

    QStringView trimmed = QStringView(text).trimmed();
    const bool plus = upstream && trimmed.startsWith(u'+');
    if (plus)
        trimmed = trimmed.sliced(1);
    bool allDigits = !trimmed.isEmpty();
    for (const QChar c : trimmed)
        allDigits = allDigits && c.unicode() >= u'0' && c.unicode() <= u'9';
    int value = -1;
    if (allDigits) {
        qsizetype first = 0;
        while (first < trimmed.size() - 1 && trimmed.at(first) == u'0')
            ++first;
        const QStringView significant = trimmed.sliced(first);
        if (significant.size() <= 5)
            value = significant.toInt();
    }
    const bool shouldBeOk = value >= lowest && value <= 65535;
    if (got.tls != (plus && shouldBeOk))
        broken(got.tls ? "TLS without a plus sign" : "a plus sign without TLS", text, got);

    if (got.ok() != shouldBeOk)
        broken(shouldBeOk ? "rejected a port in range" : "accepted a text that is no port in range", text, got);
    if (got.ok()) {
        if (got.port != value)
            broken("port differs from the digits' value", text, got);
        if (got.port < lowest || got.port > 65535)
            broken("port out of range", text, got);
        return 0;
    }
    if (got.port != -1)
        broken("a rejected text left a port", text, got);
    const pelk::PortText::Problem expected = trimmed.isEmpty() && !plus ? pelk::PortText::Empty
                                             : !allDigits      ? pelk::PortText::NotNumber
                                                               : pelk::PortText::OutOfRange;
    if (got.problem != expected)
        broken("wrong problem", text, got);
    if (pelk::portProblemText(got.problem).isEmpty())
        broken("a problem without text", text, got);
    return 0;
}
