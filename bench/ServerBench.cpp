// Loopback benchmark of the control server, run in-process with its real
// connection thread and log:
//   roundtrip N      authenticated request round trips per second with N
//                    concurrent connections (each sends injectdtmf on its own
//                    call and waits for the answer, then sends the next)
//   latency          time from a call event entering the server (what the
//                    main loop does for a call-manager event) to its request
//                    arriving at the client; median and 99th percentile
//   fanout N         presence events per second delivered to N subscribed
//                    clients, each answering every request
// The clients run in a child process, so the server's descriptors stay below
// the select limit with 1,000 connections.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ConfigStore.h"
#include "base/LogManager.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"

namespace {

using Clock = std::chrono::steady_clock;

long long NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

std::string Request(const std::string& method, const std::string& params) {
    return "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>"
           "Services.CallProcessingService." +
           method + "</methodName>\r\n<params>\r\n" + params + "</params>\r\n</methodCall>\r\n\r\n";
}

std::string Str(const std::string& text) {
    return "<param><value><string>" + text + "</string></value></param>\r\n";
}

const std::string kAnswer =
    "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><string>0</string>"
    "</value></param></params></methodResponse>\r\n\r\n";

// One client connection of the child process.
struct Client {
    int fd = -1;
    std::string in;

    bool Connect(unsigned short port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    void Send(const std::string& text) const {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            done += static_cast<size_t>(n);
        }
    }
    // Reads what is there; appends complete messages to `out`.
    bool Pump(std::vector<std::string>& out) {
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0) {
            return false;
        }
        if (n > 0) {
            in.append(buffer, static_cast<size_t>(n));
        }
        for (size_t end; (end = in.find("\r\n\r\n")) != std::string::npos;) {
            out.push_back(in.substr(0, end));
            in.erase(0, end + 4);
        }
        return true;
    }
    std::string Next() {
        std::vector<std::string> got;
        while (got.empty()) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 5000);
            if (!Pump(got)) {
                fprintf(stderr, "connection closed\n");
                exit(2);
            }
        }
        for (size_t i = 1; i < got.size(); ++i) {
            in = got[i] + "\r\n\r\n" + in;
        }
        return got[0];
    }
};

std::vector<Client> ConnectAll(int count, unsigned short port) {
    std::vector<Client> clients(static_cast<size_t>(count));
    for (size_t i = 0; i < clients.size(); ++i) {
        if (!clients[i].Connect(port)) {
            fprintf(stderr, "connect failed\n");
            exit(2);
        }
        clients[i].Send(Request("authenticate", Str("201") + Str("pw")));
        clients[i].Next();
        clients[i].Send(
            Request("createcall", Str(std::to_string(1000 + i)) + Str("201") + Str("pbx:301")));
        clients[i].Next();
    }
    return clients;
}

// Child: round trips for `seconds`; writes the count to `out`.
void RoundTripClients(int count, unsigned short port, double seconds, int out) {
    std::vector<Client> clients = ConnectAll(count, port);
    std::vector<pollfd> fds;
    for (size_t i = 0; i < clients.size(); ++i) {
        fds.push_back({clients[i].fd, POLLIN, 0});
        clients[i].Send(Request("injectdtmf", Str(std::to_string(1000 + i)) + Str("1")));
    }
    long long done = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        poll(fds.data(), fds.size(), 100);
        for (size_t i = 0; i < clients.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            std::vector<std::string> got;
            clients[i].Pump(got);
            for (size_t k = 0; k < got.size(); ++k) {
                ++done;
                clients[i].Send(Request("injectdtmf", Str(std::to_string(1000 + i)) + Str("1")));
            }
        }
    }
    if (write(out, &done, sizeof(done)) < 0) {
        exit(2);
    }
}

// Child: answers every request; reports (sequence, arrival time) pairs of
// call events, or the count of requests, when `expected` have arrived.
void EventClients(int count, unsigned short port, bool subscribe, long long expected, int out,
                  int ready) {
    std::vector<Client> clients = ConnectAll(count, port);
    std::vector<pollfd> fds;
    for (size_t i = 0; i < clients.size(); ++i) {
        if (subscribe) {
            clients[i].Send(Request("subscribe", Str(std::to_string(5000 + i)) +
                                                     "<param><value><int>4</int></value></param>"
                                                     "<param><value><struct><member><name>"
                                                     "extension</name><value><string>201"
                                                     "</string></value></member></struct>"
                                                     "</value></param>\r\n"));
        }
        fds.push_back({clients[i].fd, POLLIN, 0});
    }
    char one = 1;
    if (write(ready, &one, 1) < 0) {
        exit(2);
    }
    std::vector<long long> arrivals;
    long long got = 0;
    while (got < expected) {
        poll(fds.data(), fds.size(), 1000);
        for (size_t i = 0; i < clients.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            std::vector<std::string> messages;
            clients[i].Pump(messages);
            const long long now = NowNs();
            for (const std::string& m : messages) {
                ++got;
                if (!subscribe) {
                    const size_t at = m.find("<int>");
                    arrivals.push_back(std::atoll(m.c_str() + at + 5));
                    arrivals.push_back(now);
                }
                clients[i].Send(kAnswer);
            }
        }
    }
    if (subscribe) {
        arrivals.push_back(got);
    }
    const size_t bytes = arrivals.size() * sizeof(long long);
    if (write(out, arrivals.data(), bytes) != static_cast<ssize_t>(bytes)) {
        exit(2);
    }
}

template <typename T>
bool ReadAll(int fd, std::vector<T>& values) {
    size_t done = 0;
    char* p = reinterpret_cast<char*>(values.data());
    const size_t bytes = values.size() * sizeof(T);
    while (done < bytes) {
        const ssize_t n = read(fd, p + done, bytes - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string gRoot;

unsigned short StartServer() {
    char dir[] = "/tmp/vtbench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        exit(2);
    }
    gRoot = dir;
    setenv("VALTD_ROOT", dir, 1);
    ConfigStore store(std::string(dir) + "/etc/orba-conf/telephony/");
    store.AddExtension(ExtensionRow{ExtType_User, "201", "pw", "", 0.0}, false);
    ExtCallControl::mpLogger = new LogManager("valtd.log", true, true, 0, 8192);
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t length = sizeof(a);
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
    close(probe);
    CallControlService::mListenPort = ntohs(a.sin_port);
    CallControlService::mnReqTimeout = 0;
    CallControlService::Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return ntohs(a.sin_port);
}

// What the main loop does for a call-manager state event.
void DeliverState(unsigned long long callId, int state) {
    if (Call* call = Call::GetCall(callId)) {
        call->SendStateChanged(static_cast<ExtCallState>(state));
        Call::ReleaseCall();
    }
}

// What the main loop does for a presence notification.
void DeliverPresence(unsigned long long id) {
    if (Subscription* s = Subscription::GetSubscription(id)) {
        s->SendPresenceArrived(1);
        Subscription::ReleaseSubscription();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "roundtrip";
    const int count = argc > 2 ? std::atoi(argv[2]) : 1;
    const unsigned short port = StartServer();
    int pipeOut[2];
    int pipeReady[2];
    if (pipe(pipeOut) != 0 || pipe(pipeReady) != 0) {
        return 2;
    }
    const int latencyEvents = 20000;
    const int fanoutRounds = count >= 1000 ? 20 : (count >= 100 ? 200 : 5000);
    const long long expected =
        mode == "latency" ? latencyEvents : static_cast<long long>(fanoutRounds) * count;
    const pid_t child = fork();
    if (child == 0) {
        if (mode == "roundtrip") {
            RoundTripClients(count, port, 5.0, pipeOut[1]);
        } else {
            EventClients(mode == "latency" ? 1 : count, port, mode == "fanout", expected,
                         pipeOut[1], pipeReady[1]);
        }
        _exit(0);
    }
    if (mode == "roundtrip") {
        std::vector<long long> done(1);
        ReadAll(pipeOut[0], done);
        printf("roundtrip connections=%d requests_per_second=%.0f\n", count, done[0] / 5.0);
    } else {
        char one;
        if (read(pipeReady[0], &one, 1) != 1) {
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto begin = Clock::now();
        std::vector<long long> sent;
        if (mode == "latency") {
            // Paced, so that each event meets an idle server: the latency of
            // one event, not of a queue.
            for (int k = 0; k < latencyEvents; ++k) {
                sent.push_back(NowNs());
                DeliverState(1000, k + 100);  // states 3 and 6 would end the call
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            std::vector<long long> pairs(2 * static_cast<size_t>(latencyEvents));
            ReadAll(pipeOut[0], pairs);
            std::vector<double> us;
            for (size_t i = 0; i < pairs.size(); i += 2) {
                us.push_back((pairs[i + 1] - sent[static_cast<size_t>(pairs[i] - 100)]) / 1000.0);
            }
            std::sort(us.begin(), us.end());
            printf("latency events=%d median_us=%.1f p99_us=%.1f\n", latencyEvents,
                   us[us.size() / 2], us[us.size() * 99 / 100]);
        } else {
            for (int round = 0; round < fanoutRounds; ++round) {
                for (int i = 0; i < count; ++i) {
                    DeliverPresence(5000ULL + static_cast<unsigned long long>(i));
                }
            }
            std::vector<long long> got(1);
            ReadAll(pipeOut[0], got);
            const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            printf("fanout clients=%d events=%lld events_per_second=%.0f\n", count, got[0],
                   got[0] / seconds);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    CallControlService::CleanUp();
    delete ExtCallControl::mpLogger;
    ExtCallControl::mpLogger = nullptr;
    const std::string remove = "rm -rf '" + gRoot + "'";
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
