#include "net/TlsStream.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

bool TlsRequirePeerCertificate(SSL_CTX* ctx, const std::string& caFile) {
    if (ctx == nullptr || caFile.empty()) {
        return false;
    }
    ERR_clear_error();
    const int loaded = caFile == "system"
                           ? SSL_CTX_set_default_verify_paths(ctx)
                           : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
    ERR_clear_error();
    if (loaded != 1) {
        return false;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return true;
}

bool TlsStream::Open(SSL_CTX* ctx, int fd, bool client) {
    Close();
    if (ctx == nullptr || fd < 0) {
        return false;
    }
    mpSsl.reset(SSL_new(ctx));
    if (!mpSsl || SSL_set_fd(mpSsl.get(), fd) != 1) {
        mpSsl.reset();
        return false;
    }
    if (client) {
        SSL_set_connect_state(mpSsl.get());
    } else {
        SSL_set_accept_state(mpSsl.get());
    }
    mnLastError = 0;
    return true;
}

void TlsStream::Close() {
    if (!mpSsl) {
        return;
    }
    // In the middle of a handshake, or after a fatal error, there is no
    // session to close: OpenSSL would send nothing and only queue an error.
    if (SSL_is_init_finished(mpSsl.get()) != 0) {
        ERR_clear_error();
        SSL_shutdown(mpSsl.get());
    }
    ERR_clear_error();
    mpSsl.reset();
}

TlsStream::Result TlsStream::Classify(int rc) {
    if (rc > 0) {
        mnLastError = 0;
        return Result::kDone;
    }
    mnLastError = SSL_get_error(mpSsl.get(), rc);
    switch (mnLastError) {
        case SSL_ERROR_WANT_READ:
            return Result::kWantRead;
        case SSL_ERROR_WANT_WRITE:
            return Result::kWantWrite;
        default:
            return rc == 0 ? Result::kClosed : Result::kError;
    }
}

bool TlsStream::ExpectPeerName(const std::string& host) {
    // An empty name would switch the name check off.
    if (!mpSsl || host.empty()) {
        return false;
    }
    X509_VERIFY_PARAM* param = SSL_get0_param(mpSsl.get());
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1) {
        return true;
    }
    ERR_clear_error();
    const bool named = SSL_set1_host(mpSsl.get(), host.c_str()) == 1 &&
                       SSL_set_tlsext_host_name(mpSsl.get(), host.c_str()) == 1;
    ERR_clear_error();
    return named;
}

std::string TlsStream::PeerRejection() const {
    if (!mpSsl || (SSL_get_verify_mode(mpSsl.get()) & SSL_VERIFY_PEER) == 0) {
        return std::string();
    }
    const long result = SSL_get_verify_result(mpSsl.get());
    return result == X509_V_OK ? std::string() : X509_verify_cert_error_string(result);
}

TlsStream::Result TlsStream::Handshake() {
    if (!mpSsl) {
        return Result::kError;
    }
    ERR_clear_error();
    const Result result = Classify(SSL_do_handshake(mpSsl.get()));
    // A handshake that ended without completing failed, however it ended.
    return result == Result::kClosed ? Result::kError : result;
}

TlsStream::Result TlsStream::Read(void* buffer, int length, int& got) {
    got = -1;
    if (!mpSsl) {
        return Result::kError;
    }
    ERR_clear_error();
    got = SSL_read(mpSsl.get(), buffer, length);
    return Classify(got);
}

TlsStream::Result TlsStream::Write(const void* data, int length, int& written) {
    written = -1;
    if (!mpSsl) {
        return Result::kError;
    }
    ERR_clear_error();
    written = SSL_write(mpSsl.get(), data, length);
    return Classify(written);
}
