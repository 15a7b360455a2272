// The connection thread: its loop over the listener and every connection,
// the wake-ups that the other threads send it, and one connection's pass.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/ExtCallControl.h"
#include "net/Poller.h"
#include "server/CallControlService.h"
#include "server/ConnectionListener.h"

namespace {

using TR = ExtCallControl;

const int kReadSize = 16384;
// Connections taken from the listener's backlog in one pass: a burst of
// clients is accepted quickly, and the others are still served between.
const int kAcceptsPerPass = 32;

}  // namespace

namespace {
thread_local int tWakeBatchDepth = 0;
thread_local bool tWakeHeld = false;
}  // namespace

void CallControlService::BeginWakeBatch() {
    ++tWakeBatchDepth;
}

void CallControlService::EndWakeBatch() {
    if (--tWakeBatchDepth == 0 && tWakeHeld) {
        tWakeHeld = false;
        WakeNow();
    }
}

void CallControlService::Wake() {
    if (tWakeBatchDepth > 0) {
        tWakeHeld = true;
        return;
    }
    WakeNow();
}

void CallControlService::WakeUnlessLoopThread() {
    if (!mbThreadStarted || pthread_equal(mhThread, pthread_self()) == 0) {
        Wake();
    }
}

void CallControlService::WakeNow() {
    // One datagram until the thread has drained it: whatever is queued before
    // the thread clears the flag is seen by the pass that follows.
    if (mbWakePending.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    const char zero = 0;
    const int fd = mControlSocket.GetDescriptor();
    if (fd >= 0) {
        // Never blocks: a full socket buffer already holds a wake-up.
        send(fd, &zero, 1, MSG_DONTWAIT);
    }
}

bool CallControlService::Serve(bool readable, bool writable, unsigned long now) {
    if (mState == 1) {
        if (now - mnAcceptTime >= static_cast<unsigned long>(kHandshakeTimeout)) {
            TR::TRACEX("CCS: SSL. Handshake not completed in %d seconds, closing...\n",
                       kHandshakeTimeout);
            return false;
        }
        return !(readable || writable) || ContinueHandshake();
    }
    const int authTimeout = mnAuthTimeout;
    if (authTimeout > 0 && !mbAuthorised &&
        now - mnAcceptTime >= static_cast<unsigned long>(authTimeout)) {
        TR::TRACEX("CCS: Thread. Not authorised within %d seconds, closing...\n", authTimeout);
        return false;
    }
    if (mChannel.OutputPending() && writable) {
        ThreadMutexLock io(mChannel.IoMutex());
        if (!mChannel.Flush()) {
            TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
            return false;
        }
    }
    const unsigned long lookDue = mChannel.LookDue();
    if (lookDue != 0 && now >= lookDue && !mChannel.ClientTakes(now)) {
        TR::TRACEX("CCS: Thread. The client took nothing for %d seconds, closing...\n",
                   kSendTimeout);
        return false;
    }
    const int timeout = mnReqTimeout;
    if (timeout > 0 && !mlistSentRequests.empty() && mlistSentRequests.front().mnSendTime != 0 &&
        now - mlistSentRequests.front().mnSendTime >= static_cast<unsigned long>(timeout)) {
        FailRequest();
    }
    if (mpUpload != nullptr) {
        // An upload's time-outs, and the end of its configuration tool.
        DispatchInput(now);
        if (mChannel.Broken()) {
            TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
            return false;
        }
    }
    if (readable || mChannel.TlsPending()) {
        char buffer[kReadSize];
        // At most 16384 bytes a pass, 16383 over TLS.
        const int n = mChannel.ReadSome(buffer, mChannel.IsTls() ? kReadSize - 1 : kReadSize);
        const int error = errno;
        if (n > 0) {
            if (!TakeInput(buffer, static_cast<size_t>(n))) {
                return false;
            }
        } else if (n != -2 && UploadReceiving()) {
            // The client left in the middle of a body.
            StopUpload(error);
            DispatchInput(now);
            TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
            return false;
        } else if (n == 0) {
            TR::TRACEX("CCS: Thread. recv ret: 0, rcverr: %d\n", errno);
            return false;
        } else if (n == -1) {
            TR::TRACEX("CCS: Thread. recv ret: -1, rcverr: %d\n", errno);
            return false;
        }
    }
    if (mpUpload == nullptr) {
        SendRequest();
    }
    if (mChannel.Broken()) {
        TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
        return false;
    }
    return true;
}

bool CallControlService::TakeInput(const char* data, size_t length) {
    mRecvBuffer.append(data, length);
    DispatchInput(ExtCallControl::GetMonotonicTime());
    if (mChannel.Broken()) {
        TR::TRACEX("CCS: Thread. Connection failed, closing...\n");
        return false;
    }
    if (mRecvBuffer.size() > kMaxRecvBuffer) {
        TR::TRACEX(
            "CCS: Thread. More than %u bytes received without a complete message, "
            "closing...\n",
            static_cast<unsigned>(kMaxRecvBuffer));
        return false;
    }
    if (!mbAuthorised) {
        TR::TRACEX("CCS: Thread. Connection is not authorised, closing...\n");
        return false;
    }
    return true;
}

unsigned long CallControlService::RPCProcessingProc(void* /*arg*/) {
    if (!ConnectionListener::Open()) {
        ReleaseAll();
        return 1;
    }
    TR::TRACEX("CCS: Thread. RPC Processing Thread started (pid:%d).\n",
               static_cast<int>(getpid()));
    ConnectionListener::NoteThreadStart();
    Poller poller;
    if (!poller.IsOpen()) {
        TR::TRACEX("CCS: Thread. ERROR. Can't create the poller (errno %d).\n", errno);
    }
    const int controlFd = mControlSocket.GetDescriptor();
    poller.Watch(controlFd, Poller::kRead);
    while (mbRunning) {
        if (controlFd >= 0 && (poller.Ready(controlFd) & Poller::kRead) != 0) {
            // Every pending wake-up at once (one system call for up to 16,
            // and wake-ups are coalesced, so usually one); what they
            // announced is checked below.
            constexpr unsigned kBatch = 16;
            char drain[kBatch];
            iovec parts[kBatch];
            mmsghdr messages[kBatch];
            for (unsigned i = 0; i < kBatch; ++i) {
                parts[i] = iovec{&drain[i], 1};
                messages[i] = mmsghdr{};
                messages[i].msg_hdr.msg_iov = &parts[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            while (recvmmsg(controlFd, messages, kBatch, MSG_DONTWAIT, nullptr) ==
                   static_cast<int>(kBatch)) {
            }
        }
        // After the drain: a Wake from now on sends a datagram that the next
        // wait sees; what was queued before the Wake that set the flag is
        // seen by this pass's walk (the exchange reads that Wake's write).
        mbWakePending.exchange(false, std::memory_order_acq_rel);
        long wait = -1;  // seconds until the nearest deadline; -1: none
        bool again = false;
        int count = 0;
        {
            ThreadMutexLock lock(mServMutex);
            const int listenFd = mpListenerSock->GetDescriptor();
            if ((poller.Ready(listenFd) & Poller::kRead) != 0) {
                // The first from the backlog because the listener was ready,
                // more while it still is.
                for (int n = 0; n < kAcceptsPerPass && ConnectionListener::AcceptOne(poller); ++n) {
                    pollfd p{listenFd, POLLIN, 0};
                    if (poll(&p, 1, 0) != 1) {
                        break;
                    }
                }
            }
            poller.Watch(listenFd, Poller::kRead);
            const unsigned long now = ExtCallControl::GetMonotonicTime();
            const int timeout = mnReqTimeout;
            const int authTimeout = mnAuthTimeout;
            for (auto it = mlistServicesInProgress.begin(); it != mlistServicesInProgress.end();) {
                CallControlService* c = *it;
                const int fd = c->mChannel.Descriptor();
                const unsigned ready = poller.Ready(fd);
                if (!c->Serve((ready & Poller::kRead) != 0, (ready & Poller::kWrite) != 0, now)) {
                    it = mlistServicesInProgress.erase(it);
                    poller.Forget(fd);
                    delete c;
                    continue;
                }
                ++it;
                long due = 0;  // seconds since the epoch; 0: no deadline
                if (c->mState == 1) {
                    due = static_cast<long>(c->mnAcceptTime) + kHandshakeTimeout;
                } else if (timeout > 0 && !c->mlistSentRequests.empty()) {
                    due = static_cast<long>(c->mlistSentRequests.front().mnSendTime) + timeout;
                }
                if (authTimeout > 0 && !c->mbAuthorised) {
                    const long authDue = static_cast<long>(c->mnAcceptTime) + authTimeout;
                    due = due == 0 ? authDue : std::min(due, authDue);
                }
                const bool output = c->mChannel.OutputPending();
                const long lookDue = static_cast<long>(c->mChannel.LookDue());
                if (lookDue != 0) {
                    due = due == 0 ? lookDue : std::min(due, lookDue);
                }
                const long uploadDue = static_cast<long>(c->UploadDue());
                if (uploadDue != 0) {
                    due = due == 0 ? uploadDue : std::min(due, uploadDue);
                }
                if (due != 0) {
                    const long left = std::max(due - static_cast<long>(now), 0L);
                    wait = wait < 0 ? left : std::min(wait, left);
                }
                // A connection whose client has not taken the last message
                // waits for room to write, not for its turn; one in an upload
                // writes no request until the upload's answer.
                again = again || (!output && c->mpUpload == nullptr &&
                                  c->mnQueued.load(std::memory_order_acquire) != 0);
                again = again || c->mChannel.TlsPending();
                if (c->mState == 1 && c->mChannel.HandshakeWantsWrite()) {
                    poller.Watch(fd, Poller::kWrite);
                } else {
                    poller.Watch(fd, output ? Poller::kRead | Poller::kWrite : Poller::kRead);
                }
            }
            count = static_cast<int>(mlistServicesInProgress.size());
        }
        if (again) {
            wait = 0;
        }
        TR::TRACEX("CCS: Thread. Entering to select count = %d, timeout = %d.\n", count,
                   static_cast<int>(wait < 0 ? 0 : wait));
        const int r = poller.Wait(wait < 0 ? -1 : static_cast<int>(wait * 1000));
        TR::TRACEX("CCS: Thread. Leaving from select. ret = %d, sockerror %d.\n", r,
                   r < 0 ? errno : 0);
        if (r < 0) {
            // Nothing to wait on (no poller): a pause instead of a busy loop.
            Thread::Sleep(100);
        }
    }
    TR::TRACEX("CCS: Thread. RPC Processing Thread stopped.\n");
    {
        // The connections are deleted here rather than by CleanUp, which may
        // run inside a signal handler, where memory must not be freed.
        ThreadMutexLock lock(mServMutex);
        ReleaseAll();
    }
    return 0;
}
