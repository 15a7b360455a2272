// The policy client against a local policy server that answers at once:
// decided calls per second and the time from a call's arrival to its decision.
// Calls go through the daemon's own path (a CallPolicyService per call, the
// shared worker, the log written synchronously) and are decided by a plain
// HTTP/1.0 server on loopback that accepts every call.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ConfigStore.h"
#include "base/LogManager.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "exchange/ExchangeLink.h"
#include "policy/CallPolicyService.h"

namespace {

// Accepts connections one after the other and answers each request with an
// accept for the call ID it carries, then closes.
class InstantPolicyServer {
  public:
    InstantPolicyServer() {
        mListen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        ::setsockopt(mListen.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        if (::bind(mListen.Get(), reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
            ::listen(mListen.Get(), 1024) != 0 ||
            ::getsockname(mListen.Get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            std::abort();
        }
        mPort = ntohs(addr.sin_port);
        mThread = std::thread([this] { Serve(); });
    }
    ~InstantPolicyServer() {
        ::shutdown(mListen.Get(), SHUT_RDWR);
        mThread.join();
    }
    unsigned short Port() const { return mPort; }

  private:
    void Serve() {
        for (;;) {
            exlink::UniqueFd conn(::accept4(mListen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn.Valid()) {
                return;
            }
            std::string request;
            char buffer[4096];
            while (request.find("</methodCall>") == std::string::npos) {
                const ssize_t n = ::recv(conn.Get(), buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    break;
                }
                request.append(buffer, static_cast<size_t>(n));
            }
            // The call ID is the last string parameter of the request.
            const size_t end = request.rfind("</string>");
            const size_t begin = request.rfind("<string>", end);
            const std::string id =
                end == std::string::npos ? "0" : request.substr(begin + 8, end - begin - 8);
            const std::string body =
                "<?xml version=\"1.0\"?>\n<methodResponse><params><param><value><struct>"
                "<member><name>action</name><value><string>accept</string></value></member>"
                "</struct></value></param><param><value><string>" +
                id + "</string></value></param></params></methodResponse>\n";
            const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n" +
                                       std::string("Content-Length: ") +
                                       std::to_string(body.size()) + "\r\n\r\n" + body;
            (void)::send(conn.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    }

    exlink::UniqueFd mListen;
    unsigned short mPort = 0;
    std::thread mThread;
};

// Counts the decided calls; the benchmark waits for its batch.
struct Decisions {
    std::mutex mutex;
    std::condition_variable done;
    long decided = 0;

    void One() {
        std::lock_guard<std::mutex> lock(mutex);
        ++decided;
        done.notify_all();
    }
    void WaitFor(long total) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return decided >= total; });
    }
};

Decisions& TheDecisions() {
    static Decisions& d = *new Decisions;
    return d;
}

struct CountingCall : Call {
    explicit CountingCall(unsigned long long id) : Call(id) {}
    void AcceptCB(const unsigned long long&, const std::string&, const std::string&,
                  long) override {
        TheDecisions().One();
    }
};

// A sandbox root with the settings pointing at the server, and the daemon's log.
class Environment {
  public:
    unsigned short Port() const { return mServer.Port(); }

    Environment() {
        char pattern[] = "/tmp/valt-policy-bench-XXXXXX";
        mRoot = mkdtemp(pattern);
        setenv("VALTD_ROOT", mRoot.c_str(), 1);
        setenv("ORBA_PATH", (mRoot + "/conf/").c_str(), 1);
        ConfigStore store(mRoot + "/conf/telephony/");
        store.Init();
        store.SetSetting("policy-server", "127.0.0.1");
        store.SetSetting("policy-port", std::to_string(mServer.Port()));
        store.SetSetting("policy-user", "pbx");
        store.SetSetting("policy-password", "secret");
        store.SetSetting("policy-secure", "false");
        store.SetSetting("request-timeout", "10");
        mLog = std::make_unique<LogManager>("valtd.log", false, true, 0, 8192);
        ExtCallControl::mpLogger = mLog.get();
    }
    ~Environment() {
        ExtCallControl::mpLogger = nullptr;
        std::filesystem::remove_all(mRoot);
    }

  private:
    std::string mRoot;
    InstantPolicyServer mServer;
    std::unique_ptr<LogManager> mLog;
};

Environment& TheEnvironment() {
    static Environment& e = *new Environment;
    return e;
}

// Each iteration: `batch` calls arrive at once; the iteration ends when every
// one of them is decided. With a batch of 1 the time is one call's latency.
void BM_DecideCalls(benchmark::State& state) {
    TheEnvironment();
    const long batch = state.range(0);
    static unsigned long long nextId = 1;
    static long target = 0;  // calls submitted by every run so far
    long submitted = 0;
    CallParams from;
    from.user = "5551234";
    CallParams to;
    to.user = "201";
    for (auto _ : state) {
        for (long i = 0; i < batch; ++i) {
            auto* call = new CountingCall(nextId++);
            new CallPolicyService(call);  // owns the call; destroyed by the worker
            call->SendCallArrived(ExtCallType_TEL, "201", from, to, 0);
        }
        submitted += batch;
        target += batch;
        TheDecisions().WaitFor(target);
    }
    state.SetItemsProcessed(submitted);
}
BENCHMARK(BM_DecideCalls)->Arg(1)->Arg(50)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Reference: the same exchange with the same server by a plain blocking client
// (connect, send a request of the same size, read to the end), without the
// policy client's worker, wake-up, XML building and parsing, or log.
void BM_BareExchange(benchmark::State& state) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(TheEnvironment().Port());
    const std::string request = "POST /RPC2 HTTP/1.0\r\n\r\n<methodCall>" + std::string(900, ' ') +
                                "<string>1</string></methodCall>";
    char buffer[2048];
    for (auto _ : state) {
        exlink::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            state.SkipWithError("connect failed");
            break;
        }
        (void)::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
        while (::recv(fd.Get(), buffer, sizeof(buffer), 0) > 0) {
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareExchange)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
