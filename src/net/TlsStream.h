// A TLS session over a non-blocking socket: owns its SSL object, and each
// step (handshake, read, write) returns at once with what to do next rather
// than blocking. The socket stays the caller's and must outlive the session.
//
// Threads: one thread at a time uses an instance (the one that owns the
// socket); it takes no lock. Distinct instances may be used on distinct
// threads, also over one shared context (OpenSSL guards its contexts).
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

struct TlsContextFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
// An owned context; a session made from it keeps its own reference, so the
// context may be released while sessions made from it live on.
using TlsContext = std::unique_ptr<SSL_CTX, TlsContextFree>;

// Has the sessions made from `ctx` from now on check their peer's certificate
// chain against `caFile`: a PEM file of trusted certificates, or "system" for
// the system's store. A session whose chain does not verify fails its
// handshake. False when the trusted certificates cannot be loaded (`ctx` is
// then unusable for verified sessions and should be dropped). Before the
// context is shared.
bool TlsRequirePeerCertificate(SSL_CTX* ctx, const std::string& caFile);

class TlsStream {
  public:
    enum class Result {
        kDone,       // the step is complete (for a read or write: some bytes moved)
        kWantRead,   // wait until the socket is readable, then repeat the step
        kWantWrite,  // wait until the socket is writable, then repeat the step
        kClosed,     // the stream is over (a read or write returned 0)
        kError,      // failed; LastError() says how
    };

    TlsStream() = default;
    ~TlsStream() { Close(); }
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Makes the session over `fd` from `ctx`, as the client or the server of
    // the handshake; an open session is closed first. False when OpenSSL
    // cannot make it (the stream then stays closed).
    bool Open(SSL_CTX* ctx, int fd, bool client);
    bool IsOpen() const { return mpSsl != nullptr; }
    // Sends the close alert when the handshake completed, then frees the
    // session; never waits.
    void Close();

    // The peer's certificate must name `host`: an IP address literal is
    // matched against the certificate's IP addresses, a name against its DNS
    // names (and sent as the server name). Between Open and Handshake, on a
    // session whose context requires the peer certificate. False when the
    // name is empty or cannot be set.
    bool ExpectPeerName(const std::string& host);
    // Why the peer's certificate was not accepted, after a failed handshake of
    // a session that checks it; "" when it was accepted or is not checked.
    std::string PeerRejection() const;

    Result Handshake();
    // Reads up to `length` bytes. `got` is what SSL_read returned: the bytes
    // read for kDone, 0 or below otherwise.
    Result Read(void* buffer, int length, int& got);
    // Writes `length` bytes (all of them unless the context allows partial
    // writes). `written` is what SSL_write returned.
    Result Write(const void* data, int length, int& written);
    // SSL_get_error of the last step that did not complete; 0 after one that did.
    int LastError() const { return mnLastError; }
    // Decrypted bytes that are buffered and readable without waiting.
    bool HasPending() const { return mpSsl && SSL_pending(mpSsl.get()) > 0; }
    SSL* Native() const { return mpSsl.get(); }

  private:
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };
    Result Classify(int rc);

    std::unique_ptr<SSL, SslFree> mpSsl;
    int mnLastError = 0;
};
