#include "Transport.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

std::string SslErrorText() {
    unsigned long code = ERR_get_error();
    if (code == 0) {
        return errno != 0 ? std::strerror(errno) : "unknown TLS error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// Milliseconds left until `deadline`; -1 (no limit) when the timeout was negative.
int LeftMs(std::chrono::steady_clock::time_point deadline, int timeoutMs) {
    if (timeoutMs < 0) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

SocketTransport::~SocketTransport() {
    if (mpSsl) {
        SSL_shutdown(mpSsl.get());
    }
}

bool SocketTransport::Connect(const std::string& host, const std::string& port,
                              const TlsSettings& tls, int timeoutMs) {
    if (!ConnectTcp(host, port, timeoutMs)) {
        return false;
    }
    return !tls.enabled || Handshake(host, tls, timeoutMs);
}

bool SocketTransport::ConnectTcp(const std::string& host, const std::string& port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        mError = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    mError = "no address";
    for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        mFd.Reset(
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!mFd.Valid()) {
            mError = std::strerror(errno);
            continue;
        }
        if (::connect(mFd.Get(), a->ai_addr, a->ai_addrlen) == 0) {
            return true;
        }
        if (errno != EINPROGRESS) {
            mError = std::strerror(errno);
            continue;
        }
        int ready = WaitFor(true, timeoutMs);
        if (ready == 0) {
            mError = "no answer within the time limit";
            continue;
        }
        if (ready < 0) {
            mError = ready == kInterrupted ? "interrupted" : std::strerror(errno);
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(mFd.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
            return true;
        }
        mError = std::strerror(error);
    }
    mFd.Reset();
    return false;
}

bool SocketTransport::Handshake(const std::string& host, const TlsSettings& tls, int timeoutMs) {
    mpCtx.reset(SSL_CTX_new(TLS_client_method()));
    if (!mpCtx) {
        mError = "TLS: " + SslErrorText();
        return false;
    }
    if (!tls.insecure) {
        const bool loaded = tls.caFile.empty() ? SSL_CTX_set_default_verify_paths(mpCtx.get()) == 1
                                               : SSL_CTX_load_verify_locations(
                                                     mpCtx.get(), tls.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            mError = "TLS: cannot load " +
                     (tls.caFile.empty() ? std::string("the system's certificates") : tls.caFile) +
                     ": " + SslErrorText();
            return false;
        }
        SSL_CTX_set_verify(mpCtx.get(), SSL_VERIFY_PEER, nullptr);
    }
    mpSsl.reset(SSL_new(mpCtx.get()));
    if (!mpSsl || SSL_set_fd(mpSsl.get(), mFd.Get()) != 1) {
        mError = "TLS: " + SslErrorText();
        return false;
    }
    SSL_set_tlsext_host_name(mpSsl.get(), host.c_str());
    if (!tls.insecure && SSL_set1_host(mpSsl.get(), host.c_str()) != 1) {
        mError = "TLS: cannot check the host name " + host + ": " + SslErrorText();
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(mpSsl.get());
        if (rc == 1) {
            return true;
        }
        int error = SSL_get_error(mpSsl.get(), rc);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            long verify = SSL_get_verify_result(mpSsl.get());
            mError = "TLS handshake failed: ";
            mError += verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                      : error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0
                          ? "the daemon closed the connection"
                          : SslErrorText();
            mpSsl.reset();
            return false;
        }
        int ready = WaitFor(error == SSL_ERROR_WANT_WRITE, LeftMs(deadline, timeoutMs));
        if (ready <= 0) {
            mError = ready == 0 ? "TLS handshake: no answer within the time limit"
                                : "TLS handshake interrupted";
            mpSsl.reset();
            return false;
        }
    }
}

int SocketTransport::WaitFor(bool write, int timeoutMs) {
    pollfd pfd{mFd.Get(), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int rc = ::poll(&pfd, 1, timeoutMs);
    if (rc < 0) {
        return errno == EINTR ? kInterrupted : kError;
    }
    return rc;
}

bool SocketTransport::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const char* data = bytes.data() + done;
        const size_t left = bytes.size() - done;
        bool wantWrite = true;
        if (mpSsl) {
            ERR_clear_error();
            int n = SSL_write(mpSsl.get(), data, static_cast<int>(left));
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            int error = SSL_get_error(mpSsl.get(), n);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                mError = "TLS write failed: " + SslErrorText();
                return false;
            }
            wantWrite = error == SSL_ERROR_WANT_WRITE;
        } else {
            ssize_t n = ::send(mFd.Get(), data, left, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                mError = std::strerror(errno);
                return false;
            }
        }
        // A full socket buffer; the write is finished whatever signals arrive.
        if (WaitFor(wantWrite, 10000) == 0) {
            mError = "the daemon does not read";
            return false;
        }
    }
    return true;
}

long SocketTransport::Read(char* buffer, size_t size, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool wantWrite = false;
        if (mpSsl) {
            ERR_clear_error();
            errno = 0;
            int n = SSL_read(mpSsl.get(), buffer, static_cast<int>(size));
            if (n > 0) {
                return n;
            }
            int error = SSL_get_error(mpSsl.get(), n);
            if (error == SSL_ERROR_ZERO_RETURN ||
                (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)) {
                return kClosed;
            }
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                mError = "TLS read failed: " + SslErrorText();
                return kError;
            }
            wantWrite = error == SSL_ERROR_WANT_WRITE;
        } else {
            ssize_t n = ::recv(mFd.Get(), buffer, size, 0);
            if (n > 0) {
                return n;
            }
            if (n == 0) {
                return kClosed;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                mError = std::strerror(errno);
                return kError;
            }
        }
        int ready = WaitFor(wantWrite, LeftMs(deadline, timeoutMs));
        if (ready == 0) {
            return kTimeout;
        }
        if (ready < 0) {
            return ready;
        }
    }
}
