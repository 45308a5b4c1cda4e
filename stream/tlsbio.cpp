#include "tlsbio.h"
#include "socketcalls.h"
#include "streamstage.h"

#include <openssl/bio.h>

#include <algorithm>
#include <cerrno>

namespace pelk {

namespace {

TlsTransport *transportOf(BIO *bio)
{
    return static_cast<TlsTransport *>(BIO_get_data(bio));
}

int transportWrite(BIO *bio, const char *data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = (*transportOf(bio)->below)->write(data, size_t(size));
    if (n < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return int(n);
}

int transportRead(BIO *bio, char *buffer, int size)
{
    TlsTransport *transport = transportOf(bio);
    BIO_clear_retry_flags(bio);
    const ssize_t n = (*transport->below)->read(buffer, size_t(size));
    if (n > 0)
        transport->follow(reinterpret_cast<const unsigned char *>(buffer), size_t(n));
    else if (n == 0)
        transport->eof = true;
    else if (wouldBlock(errno))
        BIO_set_retry_read(bio);
    return int(n);
}

long transportControl(BIO *bio, int command, long, void *)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return transportOf(bio)->eof ? 1 : 0;
    default:
        return 0;
    }
}

int transportCreate(BIO *)
{
    return 1;
}

} // namespace

BIO *newTransportBio(TlsTransport *transport)
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pelk stream");
        if (m) {
            BIO_meth_set_write(m, transportWrite);
            BIO_meth_set_read(m, transportRead);
            BIO_meth_set_ctrl(m, transportControl);
            BIO_meth_set_create(m, transportCreate);
        }
        return m;
    }();
    BIO *bio = method ? BIO_new(method) : nullptr;
    if (bio) {
        BIO_set_data(bio, transport);
        BIO_set_init(bio, 1);
    }
    return bio;
}

// A record is a 5-byte header whose last two bytes give the length of the
// body that follows.
void TlsTransport::follow(const unsigned char *data, size_t size)
{
    while (size > 0) {
        if (recordLeft > 0) {
            const size_t body = std::min(size, recordLeft);
            recordLeft -= body;
            data += body;
            size -= body;
            continue;
        }
        header[headerBytes++] = *data++;
        --size;
        if (headerBytes == int(sizeof header)) {
            recordLeft = size_t(header[3]) << 8 | header[4];
            headerBytes = 0;
        }
    }
}

} // namespace pelk
