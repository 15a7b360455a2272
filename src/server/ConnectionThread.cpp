// The connection thread: its loop over the listener and every connection,
// the wake-ups that the other threads send it, and one connection's pass.
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "core/ExtCallControl.h"
#include "net/EventLoop.h"
#include "server/CallControlService.h"
#include "server/ConnectionListener.h"
#include "server/MetricsListener.h"
#include "server/ServerMetrics.h"

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
        if (!mbEventThreadWrites || !WriteQueuedNow()) {
            WakeNow();
        }
    }
}

bool CallControlService::WriteQueuedNow() {
    // Never waits: while the connection thread is in a pass it writes the
    // requests itself. Taken only with no registry lock held, after the
    // event's handling.
    std::unique_lock<ThreadMutex> lock(mServMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return false;
    }
    int waiting = 0;
    for (CallControlService* c : mlistServicesInProgress) {
        if (c->mnQueued.load(std::memory_order_acquire) != 0 && ++waiting > kEventWritesMax) {
            return false;
        }
    }
    bool settled = true;
    const int timeout = mnReqTimeout;
    for (CallControlService* c : mlistServicesInProgress) {
        if (c->mnQueued.load(std::memory_order_acquire) == 0) {
            continue;
        }
        if (c->mState != 2 || c->mpUpload != nullptr || c->mChannel.OutputPending()) {
            settled = false;  // the connection thread's pass decides
            continue;
        }
        // A first request awaiting an answer is a deadline the loop does not
        // know of yet.
        const bool deadline = timeout > 0 && c->mlistSentRequests.empty();
        c->SendRequest();
        settled = settled && !deadline && c->mnQueued.load(std::memory_order_acquire) == 0 &&
                  !c->mChannel.OutputPending() && !c->mChannel.Broken();
    }
    return settled;
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

EventLoop& CallControlService::Loop() {
    static EventLoop loop;
    return loop;
}

void CallControlService::WakeNow() {
    // Coalesced by the loop: wake-ups before the thread looks cost one.
    Loop().Wake();
}

bool CallControlService::Serve(bool readable, bool writable, unsigned long now) {
    if (mState == 1) {
        if (now - mnAcceptTime >= static_cast<unsigned long>(kHandshakeTimeout)) {
            TR::TRACEX("CCS: SSL. Handshake not completed in %d seconds, closing...\n",
                       kHandshakeTimeout);
            server_metrics::CountAuthFailure(server_metrics::kTlsHandshake);
            return false;
        }
        return !(readable || writable) || ContinueHandshake();
    }
    const int authTimeout = mnAuthTimeout;
    if (authTimeout > 0 && !mbAuthorised &&
        now - mnAcceptTime >= static_cast<unsigned long>(authTimeout)) {
        TR::TRACEX("CCS: Thread. Not authorised within %d seconds, closing...\n", authTimeout);
        server_metrics::CountAuthFailure(server_metrics::kAuthTimeout);
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
        server_metrics::CountSlowClient(server_metrics::kSendTimeout);
        return false;
    }
    const int timeout = mnReqTimeout;
    if (timeout > 0 && !mlistSentRequests.empty() && mlistSentRequests.front().mnSendTime != 0 &&
        now - mlistSentRequests.front().mnSendTime >= static_cast<unsigned long>(timeout)) {
        server_metrics::Get().clientRequestsTimedOut.Add();
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
            mnLastActivity = now;
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
        PullCdrs(now);
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
    EventLoop& loop = Loop();
    if (!ConnectionListener::Open(loop)) {
        ReleaseAll();
        return 1;
    }
    TR::TRACEX("CCS: Thread. RPC Processing Thread started (pid:%d).\n",
               static_cast<int>(getpid()));
    // The metrics listener, when one is set, is served by this loop's own
    // handlers, outside mServMutex; its socket counts among the daemon's own.
    MetricsListener metricsListener(loop);
    metricsListener.Open(MetricsListenSetting());
    ConnectionListener::NoteThreadStart();
    if (!loop.IsOpen()) {
        TR::TRACEX("CCS: Thread. ERROR. Can't create the poller (errno %d).\n", errno);
    }
    // What the last wait reported, by descriptor: the loop's handlers only
    // note it, and the pass below serves the connections in their order.
    std::vector<unsigned> ready;
    const auto noteReady = [&ready](int fd) {
        return [&ready, fd](unsigned events) {
            if (static_cast<size_t>(fd) >= ready.size()) {
                ready.resize(static_cast<size_t>(fd) + 1, 0);
            }
            ready[static_cast<size_t>(fd)] |= events;
        };
    };
    const auto takeReady = [&ready](int fd) {
        if (fd < 0 || static_cast<size_t>(fd) >= ready.size()) {
            return 0u;
        }
        const unsigned events = ready[static_cast<size_t>(fd)];
        ready[static_cast<size_t>(fd)] = 0;
        return events;
    };
    const int listenFd = mpListenerSock->GetDescriptor();
    loop.Watch(listenFd, EventLoop::kRead, noteReady(listenFd));
    bool batch = false;
    while (mbRunning) {
        if (const bool on = mbEventThreadWrites; on != batch) {
            // With event writes, a wake-up of this thread (a client's bytes,
            // an answer) does not preempt the main thread: it would find
            // mServMutex held for the writes of an event and wait for it.
            // It runs when the main thread waits, or at the next tick.
            sched_param none{};
            if (sched_setscheduler(0, on ? SCHED_BATCH : SCHED_OTHER, &none) != 0) {
                TR::TRACEX("CCS: Thread. Scheduling policy not changed (errno %d).\n", errno);
            }
            batch = on;
        }
        long wait = -1;  // seconds until the nearest deadline; -1: none
        bool again = false;
        int count = 0;
        {
            ThreadMutexLock lock(mServMutex);
            if ((takeReady(listenFd) & EventLoop::kRead) != 0) {
                // The first from the backlog because the listener was ready,
                // more while it still is.
                for (int n = 0; n < kAcceptsPerPass && ConnectionListener::AcceptOne(loop); ++n) {
                    pollfd p{listenFd, POLLIN, 0};
                    if (poll(&p, 1, 0) != 1) {
                        break;
                    }
                }
            }
            const unsigned long now = ExtCallControl::GetMonotonicTime();
            const int timeout = mnReqTimeout;
            const int authTimeout = mnAuthTimeout;
            for (auto it = mlistServicesInProgress.begin(); it != mlistServicesInProgress.end();) {
                CallControlService* c = *it;
                const int fd = c->mChannel.Descriptor();
                const unsigned events = takeReady(fd);
                if (!c->Serve((events & EventLoop::kRead) != 0, (events & EventLoop::kWrite) != 0,
                              now)) {
                    it = mlistServicesInProgress.erase(it);
                    loop.Forget(fd);
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
                if (const long cdrDue = c->CdrDue(now); cdrDue >= 0) {
                    const long at = static_cast<long>(now) + cdrDue;
                    due = due == 0 ? at : std::min(due, at);
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
                unsigned want = output ? EventLoop::kRead | EventLoop::kWrite : EventLoop::kRead;
                if (c->mState == 1 && c->mChannel.HandshakeWantsWrite()) {
                    want = EventLoop::kWrite;
                }
                if (!loop.SetEvents(fd, want)) {
                    loop.Watch(fd, want, noteReady(fd));
                }
            }
            count = static_cast<int>(mlistServicesInProgress.size());
        }
        if (again) {
            wait = 0;
        }
        TR::TRACEX("CCS: Thread. Entering to select count = %d, timeout = %d.\n", count,
                   static_cast<int>(wait < 0 ? 0 : wait));
        // Also takes the wake-ups: what they announced is seen by the next
        // pass's walk.
        const int r = loop.RunOnce(wait < 0 ? -1 : static_cast<int>(wait * 1000));
        TR::TRACEX("CCS: Thread. Leaving from select. ret = %d, sockerror %d.\n", r,
                   r < 0 ? errno : 0);
        if (r < 0) {
            // Nothing to wait on (no loop): a pause instead of a busy loop.
            Thread::Sleep(100);
        }
    }
    TR::TRACEX("CCS: Thread. RPC Processing Thread stopped.\n");
    {
        // The connections are deleted here rather than by CleanUp, which may
        // run inside a signal handler, where memory must not be freed. The
        // loop outlives this run: what it watched is forgotten first.
        ThreadMutexLock lock(mServMutex);
        loop.Forget(listenFd);
        for (CallControlService* c : mlistServicesInProgress) {
            loop.Forget(c->mChannel.Descriptor());
        }
        ReleaseAll();
    }
    return 0;
}
