// Commands through the exchange link to a peer that reads and decodes them as
// exchange-sim does, beside the floor of the same transport in the same run:
// datagrams of the same size over a connected Unix socket pair, written with
// blocking sends. Prints "RESULT link rate=... floor=..." (commands/s). Then
// events into the daemon's queue 12 through its ring, taken and decoded by a
// poller and messenger on another thread, beside the same events as the
// datagrams the link used before the rings (one exlink::SendDatagram each to
// a bound socket, read and decoded): "RESULT events ring=... datagram=...".
//     link_bench [SECONDS]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/Messaging.h"
#include "exchange/QueueRing.h"

using namespace exlink;
using Clock = std::chrono::steady_clock;

namespace {

void Quiet(const char*) {}

// Reads from `fd` until `stop`, decoding when asked; counts what it took.
void Read(int fd, bool decode, std::atomic<long>& received, std::atomic<bool>& stop) {
    std::string payload;
    ExchangeMessage message;
    std::string error;
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        while (ReceiveDatagram(fd, payload) == ReceiveResult::kMessage) {
            if (decode) {
                DecodeMessage(payload.data(), payload.size(), message, error);
            }
            received.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

// Sends for `seconds` with `send(i)` (false: no room, try again), then waits
// until the reader has everything; commands per second.
template <typename Send>
double Rate(double seconds, std::atomic<long>& received, Send send) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long sent = 0;
    while (Clock::now() < end) {
        for (int burst = 0; burst < 64; ++burst) {
            if (send(sent)) {
                ++sent;
            } else {
                std::this_thread::yield();
            }
        }
    }
    while (received.load() < sent) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return static_cast<double>(sent) / std::chrono::duration<double>(Clock::now() - start).count();
}

// One message at a time, `count` times: the median microseconds from the
// send until the reader has taken it (the reader sleeps between messages).
template <typename Send>
double OneAtATimeP50(int count, std::atomic<long>& received, Send send) {
    std::vector<double> took;
    for (int i = 0; i < count; ++i) {
        const long before = received.load();
        const Clock::time_point start = Clock::now();
        if (!send(i)) {
            continue;
        }
        while (received.load() == before) {
            std::this_thread::yield();
        }
        took.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::sort(took.begin(), took.end());
    return took.empty() ? 0 : took[took.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    char root[] = "/tmp/vlbXXXXXX";
    if (mkdtemp(root) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("VALTD_ROOT", root, 1);
    SetMessagingLog(&Quiet);
    if (!EnsureLinkDirectory()) {
        return 1;
    }

    double ours = 0;
    {
        UniqueFd peer = BindDatagramSocket(LinkSocketPath(kCallManagerSocketName));
        std::atomic<long> received{0};
        std::atomic<bool> stop{false};
        std::thread reader(Read, peer.Get(), true, std::ref(received), std::ref(stop));
        CmRemControlMessenger cm;
        ours = Rate(seconds, received, [&cm](long i) {
            return cm.RejectCall(static_cast<unsigned long long>(1000000 + i)) == 1;
        });
        stop = true;
        reader.join();
    }

    double floor = 0;
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) {
            std::perror("socketpair");
            return 1;
        }
        UniqueFd writer(pair[0]);
        UniqueFd reading(pair[1]);
        const std::string payload = EncodeMessage(RejectCallCmd{1000000});
        std::atomic<long> received{0};
        std::atomic<bool> stop{false};
        std::thread reader(Read, reading.Get(), false, std::ref(received), std::ref(stop));
        floor = Rate(seconds, received, [&](long) {
            return send(writer.Get(), payload.data(), payload.size(), 0) >= 0;
        });
        stop = true;
        reader.join();
    }
    std::printf("RESULT link rate=%.0f floor=%.0f\n", ours, floor);

    const std::string event = EncodeMessage(CallStateChangedEv{1000000, 3});
    double ring = 0, ringP50 = 0;
    {
        std::atomic<long> received{0};
        std::atomic<bool> stop{false};
        std::atomic<bool> ready{false};
        std::thread reader([&] {
            struct Counting : CmRemControlMessenger {
                std::atomic<long>* count = nullptr;
                void CallStateChanged(const unsigned long long&, ExtCallState) override {
                    count->fetch_add(1, std::memory_order_relaxed);
                }
            } cm;
            cm.count = &received;
            CyclicQueuePoller poller(45);
            poller.SelectQueue(kCallManagerQueue, kQueuePath, true, true);
            ready = true;
            while (!stop) {
                if (poller.WaitForEvents(50) == kCallManagerQueue) {
                    while (cm.ProcessMessageFromQueue(1) == 1) {
                    }
                }
            }
        });
        while (!ready) {
            std::this_thread::yield();
        }
        auto send = [&](long) {
            return AppendToQueue(kQueuePath, kCallManagerQueue, event, true, 0);
        };
        ring = Rate(seconds, received, send);
        ringP50 = OneAtATimeP50(2000, received, send);
        stop = true;
        reader.join();
    }
    double datagram = 0, datagramP50 = 0;
    {
        const std::string path = LinkSocketPath("datagram-12.sock");
        UniqueFd queue = BindDatagramSocket(path);
        std::atomic<long> received{0};
        std::atomic<bool> stop{false};
        std::thread reader(Read, queue.Get(), true, std::ref(received), std::ref(stop));
        auto send = [&](long) { return SendDatagram(path, event, true); };
        datagram = Rate(seconds, received, send);
        datagramP50 = OneAtATimeP50(2000, received, send);
        stop = true;
        reader.join();
    }
    std::printf("RESULT events ring=%.0f datagram=%.0f ring_p50=%.1f datagram_p50=%.1f\n", ring,
                datagram, ringP50, datagramP50);
    std::filesystem::remove_all(root);
    return 0;
}
