// The byte stream under a valtctl session: a TCP connection to the daemon,
// plain or TLS. The session (Session.h) sees only the Transport interface, so
// its framing and answer matching can be fed canned bytes in tests.
//
// Threads: one thread uses a transport at a time.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

#include "exchange/ExchangeLink.h"

class Transport {
  public:
    // Results of Read besides a byte count (> 0).
    static constexpr long kClosed = 0;        // the peer closed the connection
    static constexpr long kError = -1;        // read failure
    static constexpr long kTimeout = -2;      // nothing arrived in time
    static constexpr long kInterrupted = -3;  // a signal arrived while waiting

    virtual ~Transport() = default;
    // Writes every byte; false on failure (the text of it in LastError).
    virtual bool Write(const std::string& bytes) = 0;
    // Reads up to `size` bytes, waiting at most `timeoutMs` (negative: no limit).
    virtual long Read(char* buffer, size_t size, int timeoutMs) = 0;
    virtual std::string LastError() const = 0;
};

// With TLS the daemon's certificate and host name are checked against the
// system's trusted certificates, or against `caFile` when it is given;
// `insecure` skips the check.
struct TlsSettings {
    bool enabled = false;
    std::string caFile;
    bool insecure = false;
};

class SocketTransport : public Transport {
  public:
    SocketTransport() = default;
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

    // Connects (and shakes hands for TLS) within `timeoutMs`; false with
    // LastError set on failure.
    bool Connect(const std::string& host, const std::string& port, const TlsSettings& tls,
                 int timeoutMs);

    bool Write(const std::string& bytes) override;
    long Read(char* buffer, size_t size, int timeoutMs) override;
    std::string LastError() const override { return mError; }

  private:
    struct CtxFree {
        void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    };
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    bool ConnectTcp(const std::string& host, const std::string& port, int timeoutMs);
    bool Handshake(const std::string& host, const TlsSettings& tls, int timeoutMs);
    // Waits for the socket to become readable or writable; 1 ready, 0 timeout,
    // Transport::kInterrupted or kError.
    int WaitFor(bool write, int timeoutMs);

    exlink::UniqueFd mFd;
    std::unique_ptr<SSL_CTX, CtxFree> mpCtx;
    std::unique_ptr<SSL, SslFree> mpSsl;
    std::string mError;
};
