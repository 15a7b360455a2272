// Load driver of the benchmark suite (scripts/bench.sh): drives a running
// valtd from outside, as its clients and its exchange would, and prints one
// "RESULT name key=value ..." line per measure for bench/run_bench.py.
//
//   valt_load codec SECONDS FILE...            XML-RPC codec on fixture texts
//   valt_load rtt PORT SECONDS IDLE [tls]      authenticated round trips
//   valt_load handshakes PORT SECONDS          TLS handshakes per second
//   valt_load fanout ROOT PORT K EVENTS STALL  CDR events fanned out to K clients
//   valt_load burst ROOT PORT EVENTS           a CDR burst to one subscriber
//   valt_load policy ROOT SECONDS INFLIGHT     unclaimed calls decided by a local
//                                              policy server run by the driver
//   valt_load idle PORT COUNT                  COUNT idle connections, held until
//                                              standard input closes
//
// Single-threaded (the policy server has its own thread); every wait is
// bounded, and a time-out ends the driver with status 2.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/Messaging.h"
#include "exchange/QueueRing.h"
#include "xmlrpc/XmlRpcMethod.h"

namespace {

constexpr int kWaitMs = 10000;  // longest wait for any one answer
const char* const kUser = "201";
const char* const kPassword = "secret201";

double NowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

[[noreturn]] void Fail(const std::string& why) {
    fprintf(stderr, "valt_load: %s\n", why.c_str());
    exit(2);
}

std::string Request(const std::string& method, const std::string& params) {
    return "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>"
           "Services.CallProcessingService." +
           method + "</methodName>\r\n<params>\r\n" + params + "</params>\r\n</methodCall>\r\n\r\n";
}

std::string Param(const std::string& type, const std::string& text) {
    return "<param><value><" + type + ">" + text + "</" + type + "></value></param>\r\n";
}

std::string Answer(const std::string& text) {
    return "<?xml version=\"1.0\"?>\r\n<methodResponse><params>" + Param("string", text) +
           "</params></methodResponse>\r\n\r\n";
}

// Median and 99th percentile of `v` (sorted in place), in microseconds.
struct Spread {
    double p50 = 0;
    double p99 = 0;
};
Spread Percentiles(std::vector<double>& v) {
    if (v.empty()) {
        return {};
    }
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

int ConnectTcp(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        Fail("cannot connect to port " + std::to_string(port) + ": " + strerror(errno));
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

struct SslDeleter {
    void operator()(SSL* s) const { SSL_free(s); }
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// One client connection, plain or TLS, with its message cutter. Used by the
// driver's one thread only; no locks.
class Client {
  public:
    Client(unsigned short port, SSL_CTX* tls) : mFd(ConnectTcp(port)) {
        if (tls != nullptr) {
            mSsl.reset(SSL_new(tls));
            SSL_set_fd(mSsl.get(), mFd);
            if (SSL_connect(mSsl.get()) != 1) {
                Fail("TLS handshake failed");
            }
        }
    }
    ~Client() {
        if (mSsl) {
            SSL_shutdown(mSsl.get());
        }
        close(mFd);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int Fd() const { return mFd; }

    void Send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = mSsl
                                  ? SSL_write(mSsl.get(), text.data() + done,
                                              static_cast<int>(text.size() - done))
                                  : send(mFd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                Fail("send failed");
            }
            done += static_cast<size_t>(n);
        }
    }
    // Takes what the socket holds (blocking once when `wait`); false on close.
    bool Fill(bool wait) {
        char buffer[65536];
        if (!wait && !mSsl) {
            const ssize_t n = recv(mFd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n > 0) {
                mIn.append(buffer, static_cast<size_t>(n));
            }
            return n != 0;
        }
        if (!mSsl || SSL_pending(mSsl.get()) == 0) {
            pollfd p{mFd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) != 1) {
                Fail("no answer from valtd");
            }
        }
        const ssize_t n = mSsl ? SSL_read(mSsl.get(), buffer, sizeof(buffer))
                               : recv(mFd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            mIn.append(buffer, static_cast<size_t>(n));
        }
        return n > 0;
    }
    // Cuts one complete message off the input, if there is one.
    bool Take(std::string& message) {
        const size_t end = mIn.find("\r\n\r\n");
        if (end == std::string::npos) {
            return false;
        }
        message.assign(mIn, 0, end);
        mIn.erase(0, end + 4);
        return true;
    }
    std::string Next() {
        std::string message;
        while (!Take(message)) {
            if (!Fill(true)) {
                Fail("valtd closed a connection");
            }
        }
        return message;
    }
    void Authenticate() {
        Send(Request("authenticate", Param("string", kUser) + Param("string", kPassword)));
        if (Next().find("Authenticated.") == std::string::npos) {
            Fail("authentication refused");
        }
    }

  private:
    int mFd;
    std::unique_ptr<SSL, SslDeleter> mSsl;
    std::string mIn;
};

std::unique_ptr<SSL_CTX, SslDeleter> ClientContext() {
    std::unique_ptr<SSL_CTX, SslDeleter> ctx(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    // Every handshake a full one, as a new client's would be.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    return ctx;
}

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(std::string("cannot read ") + path);
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Messages per second of `step` run for about `seconds`.
template <typename Step>
double Rate(double seconds, Step step) {
    long count = 0;
    const double start = NowUs();
    double now = start;
    while (now - start < seconds * 1e6) {
        for (int i = 0; i < 64; ++i) {
            step();
        }
        count += 64;
        now = NowUs();
    }
    return static_cast<double>(count) / ((now - start) / 1e6);
}

int Codec(double seconds, int count, char** files) {
    for (int i = 0; i < count; ++i) {
        const std::string text = ReadFile(files[i]);
        std::string out;
        bool ok = true;
        const double both = Rate(seconds, [&] {
            std::unique_ptr<XmlRpcRequestMethod> method(
                XmlRpcRequestMethod::CreateFromXML(text.c_str()));
            if (!method || method.get() == XmlRpcRequestMethod::_UnknownMethod) {
                ok = false;
                (void)method.release();
                return;
            }
            out.clear();
            method->BuildXML(out);
        });
        const double parse = Rate(seconds, [&] {
            std::unique_ptr<XmlRpcRequestMethod> method(
                XmlRpcRequestMethod::CreateFromXML(text.c_str()));
            if (method.get() == XmlRpcRequestMethod::_UnknownMethod) {
                (void)method.release();
            }
        });
        if (!ok) {
            Fail(std::string("the codec refuses ") + files[i]);
        }
        const char* base = strrchr(files[i], '/');
        printf("RESULT codec file=%s bytes=%zu roundtrip=%.0f parse=%.0f\n",
               base ? base + 1 : files[i], text.size(), both, parse);
    }
    return 0;
}

// The request of the round-trip scenarios: closing a call that does not exist,
// which the daemon answers with a fault at once.
const std::string& RttRequest() {
    static const std::string text = Request("closecall", Param("string", "9999999"));
    return text;
}

int Rtt(unsigned short port, double seconds, int idle, bool tls) {
    std::vector<std::unique_ptr<Client>> idlers;
    for (int i = 0; i < idle; ++i) {
        idlers.push_back(std::make_unique<Client>(port, nullptr));
    }
    auto ctx = ClientContext();
    Client client(port, tls ? ctx.get() : nullptr);
    client.Authenticate();
    std::vector<double> rtts;
    std::string answer;
    size_t answerBytes = 0;
    for (int i = 0; i < 200; ++i) {  // warm-up
        client.Send(RttRequest());
        answerBytes = client.Next().size() + 4;
    }
    const double start = NowUs();
    double now = start;
    while (now - start < seconds * 1e6) {
        const double t = NowUs();
        client.Send(RttRequest());
        client.Next();
        now = NowUs();
        rtts.push_back(now - t);
    }
    const double rate = static_cast<double>(rtts.size()) / ((now - start) / 1e6);
    const Spread s = Percentiles(rtts);
    printf("RESULT rtt tls=%d idle=%d request=%zu answer=%zu n=%zu rate=%.0f p50=%.1f p99=%.1f\n",
           tls ? 1 : 0, idle, RttRequest().size(), answerBytes, rtts.size(), rate, s.p50, s.p99);
    return 0;
}

int Handshakes(unsigned short port, double seconds) {
    auto ctx = ClientContext();
    const double rate = Rate(seconds, [&] { Client client(port, ctx.get()); });
    printf("RESULT handshakes rate=%.0f\n", rate);
    return 0;
}

// The call-detail record every fan-out event carries.
exlink::CDRArrivedEv FanoutEvent() {
    exlink::CDRArrivedEv ev;
    ev.cdrType = 1;
    ev.cdr.startTime = 1764945000;
    ev.cdr.duration = 61;
    ev.cdr.callingUser = "201";
    ev.cdr.calledUser = "5551234";
    ev.cdr.from = "201";
    ev.cdr.to = "5551234";
    ev.cdr.callGuid = "8c5e0f0a-6f7e-4d2a-9a55-3b1f1f5e2c01";
    ev.statistics = CallStatistics{};
    return ev;
}

long ResidentKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// K clients subscribe to call-detail records; each event is one CDRArrived
// datagram on the call manager's queue (what exchange-sim sends for its
// "CDRArrived" line), delivered by the daemon to every subscriber. The next
// event goes out when every reading client has received the last one; the
// clients answer each request at once. With `stall`, client 0 subscribes and
// then never reads again.
int Fanout(const std::string& root, unsigned short port, int k, int events, bool stall,
           int daemonPid) {
    setenv("VALTD_ROOT", root.c_str(), 1);
    std::vector<std::unique_ptr<Client>> clients;
    const int ep = epoll_create1(0);
    for (int i = 0; i < k; ++i) {
        auto c = std::make_unique<Client>(port, nullptr);
        c->Authenticate();
        c->Send(Request("subscribe", Param("string", std::to_string(600 + i)) + Param("int", "2")));
        if (c->Next().find("<boolean>1</boolean>") == std::string::npos) {
            Fail("subscription refused");
        }
        if (!(stall && i == 0)) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u32 = static_cast<uint32_t>(i);
            epoll_ctl(ep, EPOLL_CTL_ADD, c->Fd(), &e);
        }
        clients.push_back(std::move(c));
    }
    const int readers = stall ? k - 1 : k;
    const std::string datagram = exlink::EncodeMessage(FanoutEvent());
    std::vector<double> latencies;
    std::vector<int> got(static_cast<size_t>(k), 0);
    const long rssBefore = daemonPid > 0 ? ResidentKiB(daemonPid) : -1;
    size_t requestBytes = 0;
    double start = 0;
    const int warm = std::min(events / 10 + 1, 50);
    for (int e = -warm; e < events; ++e) {
        if (e == 0) {
            start = NowUs();
        }
        const double t = NowUs();
        if (!exlink::AppendToQueue(kQueuePath, kCallManagerQueue, datagram, true)) {
            Fail("cannot send to the call manager queue");
        }
        int done = 0;
        std::fill(got.begin(), got.end(), 0);
        while (done < readers) {
            epoll_event ready[256];
            const int n = epoll_wait(ep, ready, 256, kWaitMs);
            if (n <= 0) {
                Fail("event " + std::to_string(e) + " reached " + std::to_string(done) + " of " +
                     std::to_string(readers) + " clients");
            }
            for (int r = 0; r < n; ++r) {
                Client& c = *clients[ready[r].data.u32];
                if (!c.Fill(false)) {
                    Fail("valtd closed a subscriber");
                }
                std::string message;
                while (c.Take(message)) {
                    requestBytes = message.size() + 4;
                    c.Send(Answer(std::to_string(600 + ready[r].data.u32)));
                    if (got[ready[r].data.u32]++ == 0) {
                        ++done;
                    }
                }
            }
        }
        if (e >= 0) {
            latencies.push_back(NowUs() - t);
        }
    }
    const double elapsed = (NowUs() - start) / 1e6;
    const long rssAfter = daemonPid > 0 ? ResidentKiB(daemonPid) : -1;
    const Spread s = Percentiles(latencies);
    printf(
        "RESULT fanout k=%d stall=%d events=%d request=%zu rate=%.0f deliveries=%.0f p50=%.1f "
        "p99=%.1f "
        "rss_before=%ld rss_after=%ld\n",
        k, stall ? 1 : 0, events, requestBytes, events / elapsed,
        events * static_cast<double>(readers) / elapsed, s.p50, s.p99, rssBefore, rssAfter);
    close(ep);
    return 0;
}

// One client subscribes to call-detail records; a second thread sends
// `events` CDRArrived datagrams (each with its own GUID) to the call
// manager's queue as fast as the queue takes them, while the client answers
// every cdrarrived at once. The rate is the distinct records received over
// the time from the first send to the last one received (the same with and
// without "cdr-spool").
int Burst(const std::string& root, unsigned short port, int events) {
    setenv("VALTD_ROOT", root.c_str(), 1);
    Client c(port, nullptr);
    c.Authenticate();
    c.Send(Request("subscribe", Param("string", "600") + Param("int", "2")));
    if (c.Next().find("<boolean>1</boolean>") == std::string::npos) {
        Fail("subscription refused");
    }
    exlink::CDRArrivedEv ev = FanoutEvent();
    const double start = NowUs();
    std::thread sender([&] {
        for (int e = 0; e < events; ++e) {
            ev.cdr.callGuid = "burst-" + std::to_string(e);
            if (!exlink::AppendToQueue(kQueuePath, kCallManagerQueue, exlink::EncodeMessage(ev),
                                       true)) {
                Fail("cannot send to the call manager queue");
            }
        }
    });
    std::vector<bool> seen(static_cast<size_t>(events), false);
    int distinct = 0;
    double last = start;
    while (distinct < events) {
        pollfd p{c.Fd(), POLLIN, 0};
        if (poll(&p, 1, 3000) != 1) {
            break;  // nothing more is coming
        }
        if (!c.Fill(false)) {
            Fail("valtd closed the subscriber");
        }
        std::string message;
        while (c.Take(message)) {
            c.Send(Answer("600"));
            const size_t at = message.find("burst-");
            if (at != std::string::npos) {
                const size_t n = std::strtoul(message.c_str() + at + 6, nullptr, 10);
                if (n < seen.size() && !seen[n]) {
                    seen[n] = true;
                    ++distinct;
                    last = NowUs();
                }
            }
        }
    }
    sender.join();
    printf("RESULT burst events=%d received=%d rate=%.0f\n", events, distinct,
           distinct / ((last - start) / 1e6));
    return 0;
}

// --- policy ---------------------------------------------------------------

// A policy server that answers every "process" request at once with an
// accept of the call it names, one request per connection. Its own thread
// serves; the driver's thread only constructs and destroys it (mStop is the
// only shared state).
class PolicyServer {
  public:
    PolicyServer() {
        mListen = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            listen(mListen, 512) != 0 ||
            getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            Fail("policy server cannot listen");
        }
        mPort = ntohs(a.sin_port);
        mThread = std::thread([this] { Serve(); });
    }
    ~PolicyServer() {
        mStop = true;
        shutdown(mListen, SHUT_RDWR);
        mThread.join();
        close(mListen);
    }
    unsigned short Port() const { return mPort; }

  private:
    void Serve() {
        while (!mStop) {
            const int fd = accept(mListen, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            std::string in;
            char buffer[16384];
            size_t need = std::string::npos;
            while (need == std::string::npos || in.size() < need) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, kWaitMs) != 1) {
                    break;
                }
                const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    break;
                }
                in.append(buffer, static_cast<size_t>(n));
                const size_t head = in.find("\r\n\r\n");
                const size_t cl = in.find("Content-Length:");
                if (head != std::string::npos && cl != std::string::npos) {
                    need = head + 4 + std::strtoul(in.c_str() + cl + 15, nullptr, 10);
                }
            }
            // The call ID is the request's last string parameter.
            const size_t last = in.rfind("<string>");
            const size_t end = in.find("</string>", last);
            const std::string id = last != std::string::npos && end != std::string::npos
                                       ? in.substr(last + 8, end - last - 8)
                                       : "0";
            const std::string body =
                "<?xml "
                "version=\"1.0\"?>\n<methodResponse>\n<params>\n<param><value><struct><member>"
                "<name>action</name><value><string>accept</string></value></member></struct></"
                "value>"
                "</param>\n<param><value><string>" +
                id + "</string></value></param>\n</params>\n</methodResponse>\n";
            const std::string reply =
                "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            (void)!send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(fd);
        }
    }

    int mListen = -1;
    unsigned short mPort = 0;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

exlink::CallArrivedEv Arrival(unsigned long long id) {
    exlink::CallArrivedEv ev;
    ev.callId = id;
    ev.type = 3;
    ev.ext = "201";
    ev.from.user = "5551234";
    ev.from.sipName = "Alice Example";
    ev.from.host = "10.0.0.5";
    ev.from.port = "5060";
    ev.from.type = 1;
    ev.to.user = "201";
    ev.to.type = 1;
    return ev;
}

// The daemon's policy path: the driver plays the call manager (binds its
// socket, sends CallArrived to queue 12, counts AcceptCall) and the policy
// server. One call at a time, in slices that alternate with the same server
// driven directly; then `inflight` calls pending at all times. Prints the
// policy port first (on standard output, flushed) so the caller can configure
// the daemon, and waits for a line on standard input before it starts.
int Policy(const std::string& root, double seconds, int inflight, const std::string& processFile) {
    setenv("VALTD_ROOT", root.c_str(), 1);
    exlink::EnsureLinkDirectory();
    PolicyServer server;
    exlink::UniqueFd cm =
        exlink::BindDatagramSocket(exlink::LinkSocketPath(exlink::kCallManagerSocketName));
    exlink::UniqueFd ns =
        exlink::BindDatagramSocket(exlink::LinkSocketPath(exlink::kNotificationSocketName));
    if (!cm.Valid()) {
        Fail("cannot bind the call manager's socket");
    }
    printf("PORT %u\n", server.Port());
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof(line), stdin) == nullptr) {
        return 0;
    }
    std::vector<double> sentAt;
    std::vector<double> latencies;
    unsigned long long next = 1;
    long decisions = 0;
    // Takes every command the daemon has sent, waiting up to `waitMs` for the
    // first; counts the decisions. The daemon's commands must be drained
    // while we wait for room on its queue, or both sides wait for each other.
    auto pump = [&](int waitMs) {
        std::string payload;
        pollfd p{cm.Get(), POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1) {
            return;
        }
        while (exlink::ReceiveDatagram(cm.Get(), payload) == exlink::ReceiveResult::kMessage) {
            exlink::ExchangeMessage m;
            std::string error;
            if (!exlink::DecodeMessage(payload.data(), payload.size(), m, error)) {
                continue;
            }
            if (auto* a = std::get_if<exlink::AcceptCallCmd>(&m)) {
                if (a->callId >= 1 && a->callId <= sentAt.size()) {
                    latencies.push_back(NowUs() - sentAt[a->callId - 1]);
                }
                ++decisions;
            }
        }
    };
    auto arrive = [&] {
        const std::string datagram = exlink::EncodeMessage(Arrival(next++));
        sentAt.push_back(NowUs());
        // A burst can fill the queue: wait for room.
        for (int tries = 0;
             !exlink::AppendToQueue(kQueuePath, kCallManagerQueue, datagram, true, 0); ++tries) {
            if (tries == 10000) {
                Fail("cannot send to the call manager queue");
            }
            pump(1);
        }
    };
    // Waits until `count` decisions have been made in all; false on time-out.
    auto decidedUpTo = [&](long count) {
        const double deadline = NowUs() + kWaitMs * 1000.0;
        while (decisions < count) {
            if (NowUs() > deadline) {
                return false;
            }
            pump(100);
        }
        return true;
    };
    // The same server driven directly: the same "process" request sent by a
    // blocking client on a connection of its own.
    const std::string body = ReadFile(processFile.c_str());
    const std::string request =
        "POST /RPC2 HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
        "Authorization: Basic cGJ4OnNlY3JldA==\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    std::vector<double> direct;
    double directSeconds = 0;
    // Latency: one call at a time through the daemon, in slices that alternate
    // with slices of the direct exchange, so that both see the machine in the
    // same state.
    constexpr int kSlices = 10;
    const double slice = seconds * 0.5e6 / kSlices;
    for (int i = 0; i < kSlices; ++i) {
        double start = NowUs();
        while (NowUs() - start < slice) {
            arrive();
            if (!decidedUpTo(static_cast<long>(sentAt.size()))) {
                Fail("no decision");
            }
        }
        start = NowUs();
        while (NowUs() - start < slice) {
            const double t = NowUs();
            const int fd = ConnectTcp(server.Port());
            (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            char buffer[4096];
            while (recv(fd, buffer, sizeof(buffer), 0) > 0) {
            }
            close(fd);
            direct.push_back(NowUs() - t);
        }
        directSeconds += (NowUs() - start) / 1e6;
    }
    const Spread one = Percentiles(latencies);
    // Throughput: `inflight` calls pending at all times.
    const long before = decisions;
    for (int i = 0; i < inflight; ++i) {
        arrive();
    }
    const double start = NowUs();
    while (NowUs() - start < seconds * 0.5e6) {
        const long seen = decisions;
        if (!decidedUpTo(seen + 1)) {
            Fail("no decision");
        }
        for (long i = seen; i < decisions; ++i) {
            arrive();
        }
    }
    const double rate = static_cast<double>(decisions - before) / ((NowUs() - start) / 1e6);
    if (!decidedUpTo(static_cast<long>(sentAt.size()))) {
        Fail("pending calls were not decided");
    }
    const double directRate = static_cast<double>(direct.size()) / directSeconds;
    const Spread d = Percentiles(direct);
    printf(
        "RESULT policy inflight=%d rate=%.0f p50=%.1f p99=%.1f direct_rate=%.0f direct_p50=%.1f "
        "direct_p99=%.1f\n",
        inflight, rate, one.p50, one.p99, directRate, d.p50, d.p99);
    return 0;
}

// Holds `count` idle connections until standard input closes; says "READY"
// once they are all open.
int Idle(unsigned short port, int count) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<Client>(port, nullptr));
    }
    printf("READY\n");
    fflush(stdout);
    char line[64];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "codec" && argc > 3) {
        return Codec(atof(argv[2]), argc - 3, argv + 3);
    }
    if (mode == "rtt" && argc > 4) {
        return Rtt(static_cast<unsigned short>(atoi(argv[2])), atof(argv[3]), atoi(argv[4]),
                   argc > 5 && std::string(argv[5]) == "tls");
    }
    if (mode == "handshakes" && argc > 3) {
        return Handshakes(static_cast<unsigned short>(atoi(argv[2])), atof(argv[3]));
    }
    if (mode == "fanout" && argc > 7) {
        return Fanout(argv[2], static_cast<unsigned short>(atoi(argv[3])), atoi(argv[4]),
                      atoi(argv[5]), atoi(argv[6]) != 0, atoi(argv[7]));
    }
    if (mode == "burst" && argc > 4) {
        return Burst(argv[2], static_cast<unsigned short>(atoi(argv[3])), atoi(argv[4]));
    }
    if (mode == "policy" && argc > 5) {
        return Policy(argv[2], atof(argv[3]), atoi(argv[4]), argv[5]);
    }
    if (mode == "idle" && argc > 3) {
        return Idle(static_cast<unsigned short>(atoi(argv[2])), atoi(argv[3]));
    }
    fprintf(stderr, "usage: see the head of bench/LoadDriver.cpp\n");
    return 2;
}
