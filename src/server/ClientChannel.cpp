#include "server/ClientChannel.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/ExtCallControl.h"
#include "server/ServerMetrics.h"

namespace {

using TR = ExtCallControl;

// The text OpenSSL gives an error code, without its shared static buffer.
std::string SslErrorText(unsigned long code) {
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

}  // namespace

ClientChannel::ClientChannel(void (*wakeLoop)()) : mWakeLoop(wakeLoop), mSocket(false) {}

ClientChannel::~ClientChannel() {
    Close();
    server_metrics::AddPendingOutput(-static_cast<std::int64_t>(mnPending.load()));
}

void ClientChannel::NotePending() {
    const size_t now = mOutput.size() - mnOutputDone;
    const size_t before = mnPending.exchange(now, std::memory_order_relaxed);
    if (now != before) {
        server_metrics::AddPendingOutput(static_cast<std::int64_t>(now) -
                                         static_cast<std::int64_t>(before));
    }
}

void ClientChannel::Close() {
    ThreadMutexLock io(mIoMutex);
    mTls.Close();
    mSocket.Close();
}

bool ClientChannel::AcceptFrom(BsdSocket& listener) {
    return listener.Accept(mSocket) == 1;
}

void ClientChannel::Configure() {
    const int one = 1;
    mSocket.SetSocketOption(SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
    mSocket.ChangeMode(1);
    mSocket.SetSocketOption(SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    // Every write is a whole message the client waits for: no coalescing delay.
    mSocket.SetSocketOption(IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void ClientChannel::SetSendBuffer(int bytes) {
    mSocket.SetSocketOption(SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
}

bool ClientChannel::StartTls(SSL_CTX* context) {
    return mTls.Open(context, mSocket.GetDescriptor(), false);
}

int ClientChannel::ContinueHandshake() {
    ThreadMutexLock io(mIoMutex);
    const TlsStream::Result r = mTls.Handshake();
    if (r == TlsStream::Result::kDone) {
        mbWantWrite = false;
        SSL* ssl = mTls.Native();
        TR::TRACEX("CCS: SSL. SSL connection using %s\n",
                   SSL_CIPHER_get_name(SSL_get_current_cipher(ssl)));
        X509* cert = SSL_get1_peer_certificate(ssl);
        if (cert != nullptr) {
            printf("Client certificate:\n");
            if (char* subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0)) {
                TR::TRACEX("CCS: SSL. client cert-t subject: %s\n", subject);
                OPENSSL_free(subject);
            }
            if (char* issuer = X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0)) {
                TR::TRACEX("CCS: SSL. client cert-t issuer: %s\n", issuer);
                OPENSSL_free(issuer);
            }
            X509_free(cert);
        } else {
            TR::TRACEX("CCS: SSL. Client does not have certificate.\n");
        }
        return 1;
    }
    if (r == TlsStream::Result::kWantRead || r == TlsStream::Result::kWantWrite) {
        mbWantWrite = r == TlsStream::Result::kWantWrite;
        return 0;
    }
    TR::TRACEX("CCS: SSL. Accept error: %s\n",
               SslErrorText(static_cast<unsigned long>(mTls.LastError())).c_str());
    ERR_clear_error();
    return -1;
}

int ClientChannel::ReadSome(char* buffer, int length) {
    ThreadMutexLock io(mIoMutex);
    if (!mTls.IsOpen()) {
        const ssize_t n = recv(mSocket.GetDescriptor(), buffer, static_cast<size_t>(length), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return -2;
        }
        return n < 0 ? -1 : static_cast<int>(n);
    }
    errno = 0;
    int n = 0;
    const TlsStream::Result r = mTls.Read(buffer, length, n);
    mbTlsPending = r == TlsStream::Result::kDone && mTls.HasPending();
    switch (r) {
        case TlsStream::Result::kDone:
            return n;
        case TlsStream::Result::kWantRead:
        case TlsStream::Result::kWantWrite:
            errno = EAGAIN;
            return -2;
        case TlsStream::Result::kClosed:
            return 0;
        default:
            // The peer closing without a close alert reads as an end too.
            return mTls.LastError() == SSL_ERROR_SYSCALL && errno == 0 ? 0 : -1;
    }
}

bool ClientChannel::Write(const char* data, size_t length) {
    ThreadMutexLock io(mIoMutex);
    return WriteLocked(data, length);
}

bool ClientChannel::WriteLocked(const char* data, size_t length) {
    mIoMutex.AssertHeld("WriteLocked");
    // A channel that failed (a write, or an upload whose client left or
    // stalled) gets nothing more: it is closed after the current dispatch,
    // and a stalled client must not take an answer for a finished upload.
    if (mSocket.GetDescriptor() < 0 || mbBroken) {
        return false;
    }
    if (!mOutput.empty()) {
        // Behind what waits already, so that messages leave whole and in order.
        if (mOutput.size() - mnOutputDone + length > kMaxPendingOutput) {
            TR::TRACEX(
                "CCS: BuildAndSendXml. Write error: more than %u bytes wait for the client\n",
                static_cast<unsigned>(kMaxPendingOutput));
            mbBroken = true;
            server_metrics::CountSlowClient(server_metrics::kOutputLimit);
            return false;
        }
        mOutput.append(data, length);
        NotePending();
        return true;
    }
    size_t done = 0;
    if (!WriteSome(data, length, done)) {
        return false;
    }
    if (done < length) {
        mOutput.assign(data + done, length - done);
        mnOutputDone = 0;
        NotePending();
        mbOutputPending = true;
        mWakeLoop();  // the connection thread must watch for room to write
    }
    return true;
}

bool ClientChannel::WriteSome(const char* data, size_t length, size_t& done) {
    done = 0;
    const unsigned long long before = BytesWritten();
    if (!mTls.IsOpen()) {
        while (done < length) {
            const ssize_t n = send(mSocket.GetDescriptor(), data + done, length - done,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                mnWritten += static_cast<unsigned long long>(n);
                WatchTaking(before);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            } else {
                TR::TRACEX("CCS: BuildAndSendXml. Write error: %d of %u bytes, errno %d\n",
                           static_cast<int>(done), static_cast<unsigned>(length), errno);
                mbBroken = true;
                return false;
            }
        }
        return true;
    }
    // The TLS object may take part of the text (partial writes are on) and
    // is given the same bytes again after a "want" (moving buffers are on).
    while (done < length) {
        int n = 0;
        const TlsStream::Result r = mTls.Write(data + done, static_cast<int>(length - done), n);
        if (r == TlsStream::Result::kDone) {
            done += static_cast<size_t>(n);
            WatchTaking(before);
            continue;
        }
        if (r == TlsStream::Result::kWantWrite || r == TlsStream::Result::kWantRead) {
            return true;
        }
        TR::TRACEX("CCS: BuildAndSendXml. SSL. Write error: %s\n",
                   SslErrorText(static_cast<unsigned long>(mTls.LastError())).c_str());
        mbBroken = true;
        return false;
    }
    return true;
}

bool ClientChannel::Flush() {
    mIoMutex.AssertHeld("Flush");
    if (mOutput.empty()) {
        return true;
    }
    if (mSocket.GetDescriptor() < 0 || mbBroken) {
        return false;
    }
    size_t done = 0;
    if (!WriteSome(mOutput.data() + mnOutputDone, mOutput.size() - mnOutputDone, done)) {
        return false;
    }
    mnOutputDone += done;
    if (mnOutputDone == mOutput.size()) {
        std::string().swap(mOutput);  // a stalled client's megabyte is given back
        mnOutputDone = 0;
        mbOutputPending = false;
    }
    NotePending();
    return true;
}

unsigned long long ClientChannel::BytesWritten() const {
    // Over TLS, what the socket was given: records, handshake included.
    return mTls.IsOpen() ? BIO_number_written(SSL_get_wbio(mTls.Native())) : mnWritten;
}

void ClientChannel::WatchTaking(unsigned long long before) {
    mIoMutex.AssertHeld("WatchTaking");
    if (mnLookDue.load(std::memory_order_relaxed) != 0) {
        return;
    }
    // Not watched: the last look found everything written taken (or nothing
    // was written yet), so what was written before this write counts as taken.
    const unsigned long now = ExtCallControl::GetMonotonicTime();
    mnTaken = std::max(mnTaken, before);
    mnTakenAt = now;
    mnLookDue.store(now + 1, std::memory_order_release);
    mWakeLoop();  // the connection thread must look, however long it sleeps
}

bool ClientChannel::ClientTakes(unsigned long now) {
    ThreadMutexLock io(mIoMutex);
    int queued = 0;  // written, not yet acknowledged by the client
    if (ioctl(mSocket.GetDescriptor(), SIOCOUTQ, &queued) != 0 || queued < 0) {
        queued = 0;  // the socket failed: its next read or write says so
    }
    const unsigned long long written = BytesWritten();
    const unsigned long long taken =
        written - std::min(written, static_cast<unsigned long long>(queued));
    if (taken > mnTaken) {
        mnTaken = taken;
        mnTakenAt = now;
    }
    if (queued == 0 && mOutput.empty()) {
        mnLookDue.store(0, std::memory_order_release);  // all taken: nothing to watch
        return true;
    }
    if (now - mnTakenAt >= static_cast<unsigned long>(kSendTimeout)) {
        return false;
    }
    mnLookDue.store(now + 1, std::memory_order_release);
    return true;
}
