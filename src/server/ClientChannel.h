// The byte stream of one client connection: its socket, its TLS object, what
// the socket did not take at once, and whether the client takes what is
// written. Writes never wait for the client; what the socket does not take is
// kept and written as the client reads, and a client that takes nothing for
// the send time-out is given up.
//
// Threads: the connection thread reads, flushes, looks at what the client took
// and runs the TLS handshake; any thread writes (the main thread answers
// subscription confirmations and errors at once). mIoMutex makes every write a
// whole message and serialises the TLS object and the socket's closing between
// the threads; it is innermost but for the log's lock. Write() takes it
// itself; WriteLocked() and Flush() require it (asserted in checked builds).
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <string>

#include "base/ThreadMutex.h"
#include "net/BsdSocket.h"
#include "net/TlsStream.h"

class ClientChannel {
  public:
    // Bytes written and not yet taken that a connection may hold.
    static constexpr size_t kMaxPendingOutput = 1024 * 1024;
    // Seconds a client may take nothing of what waits for it.
    static constexpr int kSendTimeout = 10;

    // `wakeLoop` is called when the connection thread must look at this
    // channel soon (output left waiting, a write to watch), from whichever
    // thread wrote.
    explicit ClientChannel(void (*wakeLoop)());
    ~ClientChannel();
    ClientChannel(const ClientChannel&) = delete;
    ClientChannel& operator=(const ClientChannel&) = delete;

    // ---- set-up (connection thread, before the channel is shared) ----
    // Accepts one connection of `listener` into this channel; false (errno
    // set) when there was none or it failed.
    bool AcceptFrom(BsdSocket& listener);
    // Keep-alive, non-blocking, address reuse.
    void Configure();
    // Starts the server side of a TLS handshake; false when no TLS object can
    // be made.
    bool StartTls(SSL_CTX* context);
    // Advances the TLS handshake: 1 done, 0 in progress, -1 failed (logged).
    int ContinueHandshake();
    // Whether the handshake waits for room to write (rather than for input).
    bool HandshakeWantsWrite() const { return mbWantWrite; }

    // Ends the TLS session (when its handshake was done) and closes the
    // socket; later writes fail. Any thread; also done by the destructor.
    void Close();

    int Descriptor() const { return mSocket.GetDescriptor(); }
    bool IsTls() const { return mTls.IsOpen(); }
    // The kernel's send buffer in bytes (tests and tuning).
    void SetSendBuffer(int bytes);

    // ---- reading (connection thread) ----
    // Reads into `buffer`: >0 bytes, 0 peer closed, -1 error, -2 nothing yet.
    int ReadSome(char* buffer, int length);
    // TLS holds decrypted bytes not yet read: read again without waiting.
    bool TlsPending() const { return mbTlsPending; }

    // ---- writing (any thread) ----
    // Writes `data` whole, after whatever waits already; false (and Broken)
    // when the channel failed or too much waits.
    bool Write(const char* data, size_t length);
    // The same with mIoMutex already held.
    bool WriteLocked(const char* data, size_t length);
    // Writes what waits as far as the socket takes it (mIoMutex held).
    bool Flush();
    ThreadMutex& IoMutex() { return mIoMutex; }

    // Bytes written and waiting for room in the socket (any thread).
    size_t PendingBytes() const { return mnPending.load(std::memory_order_relaxed); }
    // Something written waits for room in the socket.
    bool OutputPending() const { return mbOutputPending.load(std::memory_order_acquire); }
    // A write failed or an upload stalled: the connection is to be closed.
    bool Broken() const { return mbBroken.load(std::memory_order_acquire); }
    void MarkBroken() { mbBroken = true; }

    // ---- whether the client takes what is written (connection thread) ----
    // GetMonotonicTime() of the next look at what the client took; 0 while
    // everything written was taken.
    unsigned long LookDue() const { return mnLookDue.load(std::memory_order_acquire); }
    // The once-a-second look; false when the client took nothing for the send
    // time-out while something waited for it.
    bool ClientTakes(unsigned long now);

  private:
    // Writes without waiting; `done` bytes were taken. False (and broken,
    // logged) on an error of the connection. mIoMutex held.
    bool WriteSome(const char* data, size_t length, size_t& done);
    // Starts watching whether the client takes what was just written unless
    // that is watched already; `before`: bytes written before (mIoMutex held).
    void WatchTaking(unsigned long long before);
    // Publishes the size of mOutput's rest (mIoMutex held).
    void NotePending();
    // Bytes handed to the socket so far (mIoMutex held).
    unsigned long long BytesWritten() const;

    void (*const mWakeLoop)();

    // Guarded by mIoMutex once the channel is shared.
    ThreadMutex mIoMutex;
    BsdSocket mSocket;
    TlsStream mTls;       // not open without TLS
    std::string mOutput;  // what the socket did not take at once
    size_t mnOutputDone = 0;
    // The kernel's send buffer can hold megabytes a client never reads, so
    // our own pending output is not enough to tell whether it reads: from the
    // first write after everything was taken, the connection thread looks once
    // a second at how many written bytes the client acknowledged (SIOCOUTQ).
    unsigned long long mnWritten = 0;  // bytes handed to the socket
    unsigned long long mnTaken = 0;    // of those, acknowledged at the last look
    unsigned long mnTakenAt = 0;       // GetMonotonicTime() when the client last took some

    // Read without the lock by the connection thread.
    std::atomic<bool> mbBroken{false};
    std::atomic<bool> mbOutputPending{false};
    std::atomic<unsigned long> mnLookDue{0};
    std::atomic<size_t> mnPending{0};  // mOutput's rest, written under mIoMutex

    // Connection thread only.
    bool mbTlsPending = false;  // TLS holds decrypted bytes not yet read
    bool mbWantWrite = false;   // the handshake waits for room to write
};
