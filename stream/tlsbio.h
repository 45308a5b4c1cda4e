#pragma once

#include <cstddef>

typedef struct bio_st BIO;

namespace pelk {

class StreamStage;

// The stream below a TLS stage as OpenSSL's reads and writes reach it,
// through a BIO of its own (newTransportBio()): what OpenSSL reads and
// writes goes to that stage (so a proxy's stage, or the socket, never
// raising a signal for a peer gone). The record framing of what arrives is
// followed, so that an end of stream inside a record can be told from one
// between records.
struct TlsTransport
{
    StreamStage *const *below = nullptr; // where the TLS stage keeps the stage below it
    bool eof = false;
    unsigned char header[5] = {};
    int headerBytes = 0;   // of the next record's header, read so far
    size_t recordLeft = 0; // bytes of the current record still to come

    void follow(const unsigned char *data, size_t size);
    bool insideRecord() const { return headerBytes > 0 || recordLeft > 0; }
};

// A BIO that reads and writes through transport; null when OpenSSL cannot
// make one.
BIO *newTransportBio(TlsTransport *transport);

} // namespace pelk
