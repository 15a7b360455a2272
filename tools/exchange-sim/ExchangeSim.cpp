#include "ExchangeSim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <iterator>

#include "SimJson.h"
#include "exchange/Messaging.h"

using nlohmann::json;
using namespace exlink;

namespace {

// How long the loop keeps reading the daemon's commands after the end of input.
constexpr int kDrainMs = 300;

// Call-manager mode: call states and delays.
constexpr int kStateRinging = 1;
constexpr int kStateConnected = 2;
constexpr int kStateDisconnected = 3;
constexpr int kConnectDelayMs = 200;
constexpr int kPlayDelayMs = 300;

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = ::write(gStopPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void Error(const std::string& text) {
    std::cerr << "exchange-sim: " << text << std::endl;
}

}  // namespace

ExchangeSim::~ExchangeSim() {
    if (mCm.Valid()) {
        ::unlink(mCmPath.c_str());
    }
    if (mNs.Valid()) {
        ::unlink(mNsPath.c_str());
    }
}

bool ExchangeSim::Start() {
    // Signals first: a stop that comes right after the readiness line must find the handler.
    if (::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Error(std::string("pipe: ") + std::strerror(errno));
        return false;
    }
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (!EnsureLinkDirectory()) {
        return false;
    }
    mCmPath = LinkSocketPath(kCallManagerSocketName);
    mNsPath = LinkSocketPath(kNotificationSocketName);
    mCm = BindDatagramSocket(mCmPath);
    mNs = BindDatagramSocket(mNsPath);
    if (!mCm.Valid() || !mNs.Valid()) {
        return false;
    }
    PrintLine({{"ready", true}});
    return true;
}

int ExchangeSim::Run() {
    std::string pending;  // input not yet ended by a newline
    bool inputOpen = true;
    auto drainUntil = std::chrono::steady_clock::time_point::max();
    for (;;) {
        pollfd fds[4] = {{gStopPipe[0], POLLIN, 0},
                         {mCm.Get(), POLLIN, 0},
                         {mNs.Get(), POLLIN, 0},
                         {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        int timeout = -1;
        if (!inputOpen) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                drainUntil - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return 0;
            }
            timeout = static_cast<int>(left.count());
        }
        const int timerMs = NextTimerMs();
        if (timerMs >= 0 && (timeout < 0 || timerMs < timeout)) {
            timeout = timerMs;
        }
        int ready = ::poll(fds, 4, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            Error(std::string("poll: ") + std::strerror(errno));
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            return 0;
        }
        FireDueTimers();
        if (fds[1].revents & POLLIN) {
            DrainSocket(mCm.Get());
        }
        if (fds[2].revents & POLLIN) {
            DrainSocket(mNs.Get());
        }
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                inputOpen = false;
                if (!pending.empty()) {
                    HandleInputLine(pending);
                    pending.clear();
                }
                drainUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                HandleInputLine(line);
            }
        }
    }
}

void ExchangeSim::HandleInputLine(const std::string& text) {
    if (text.find_first_not_of(" \t\r") == std::string::npos) {
        return;
    }
    try {
        json line = json::parse(text);
        if (!line.is_object()) {
            Error("not a JSON object: " + text);
        } else if (line.contains("control")) {
            HandleControl(line);
        } else if (line.contains("event")) {
            HandleEvent(line);
        } else {
            Error("neither \"event\" nor \"control\": " + text);
        }
    } catch (const std::exception& e) {
        Error(std::string(e.what()) + ": " + text);
    }
}

void ExchangeSim::HandleControl(const json& line) {
    const std::string control = line.at("control").get<std::string>();
    if (control == "autoConfirm") {
        mbAutoConfirm = line.at("value").get<bool>();
    } else if (control == "callManager") {
        mbCallManager = line.at("value").get<bool>();
        if (!mbCallManager) {
            mmapCalls.clear();
            mmapTimers.clear();
        }
    } else if (control == "sync") {
        // Nothing to do: the acknowledgement below tells that every earlier line was handled.
    } else if (control == "raw") {
        // A datagram sent as is: for tests of the daemon's handling of malformed input.
        const std::string data = line.at("data").get<std::string>();
        const json& queue = line.at("queue");
        if (queue.is_string() && queue.get<std::string>() == "poller") {
            unsigned long long poller = sim::U64Member(line, "poller");
            const std::string name = PollerSocketName(poller != 0 ? static_cast<int>(poller) : 45);
            if (!SendDatagram(LinkSocketPath(name), data, true)) {
                Error("cannot send to the daemon's socket " + name);
            }
        } else if (!AppendToQueue(kQueuePath, queue.get<int>(), data, true)) {
            Error("cannot queue to the daemon's queue " + std::to_string(queue.get<int>()) +
                  " (full)");
        }
    } else {
        Error("unknown control \"" + control + "\"");
        return;
    }
    nlohmann::ordered_json ack;
    ack["ack"] = control;
    if (line.contains("token")) {
        ack["token"] = line["token"];
    }
    PrintLine(ack);
}

void ExchangeSim::HandleEvent(const json& line) {
    sim::EventTarget target;
    ExchangeMessage event = sim::EventFromJson(line, target);
    if (auto* arrived = std::get_if<CallArrivedEv>(&event)) {
        if (!line.contains("data")) {
            auto it = mmapRequesters.find(arrived->ext);
            arrived->data = it != mmapRequesters.end() ? static_cast<long long>(it->second) : 0;
        }
        if (mbCallManager) {
            // Known from here on, so that closing it reports its parties.
            SimCall& call = mmapCalls[arrived->callId];
            call.from = arrived->from.user;
            call.to = arrived->ext;
            call.created = static_cast<long long>(std::time(nullptr));
            call.connected = Clock::now();
        }
    }
    switch (target) {
        case sim::EventTarget::kCallManagerQueue:
            SendToDaemon(kCallManagerQueue, event);
            break;
        case sim::EventTarget::kNotificationQueue:
            SendToDaemon(kNotificationQueue, event);
            break;
        case sim::EventTarget::kPoller: {
            unsigned long long poller = sim::U64Member(line, "poller");
            const std::string name = PollerSocketName(poller != 0 ? static_cast<int>(poller) : 45);
            if (!SendDatagram(LinkSocketPath(name), EncodeMessage(event), true)) {
                Error(std::string("cannot send ") + MessageName(event) +
                      " to the daemon's socket " + name + " (absent or not reading)");
            }
            break;
        }
    }
}

void ExchangeSim::DrainSocket(int fd) {
    std::string payload;
    while (ReceiveDatagram(fd, payload) == ReceiveResult::kMessage) {
        ExchangeMessage command;
        std::string error;
        if (!DecodeMessage(payload.data(), payload.size(), command, error)) {
            Error("dropped a malformed datagram from the daemon: " + error);
            continue;
        }
        HandleCommand(command);
    }
}

void ExchangeSim::HandleCommand(const ExchangeMessage& command) {
    try {
        PrintLine(sim::CommandToJson(command));
    } catch (const std::exception& e) {
        Error(e.what());
        return;
    }
    if (auto* handling = std::get_if<IncomingCallHandlingCmd>(&command)) {
        if (handling->enable != 0) {
            mmapRequesters[handling->ext] = handling->requester;
        } else {
            mmapRequesters.erase(handling->ext);
        }
    } else if (auto* subscribe = std::get_if<ANSubscribeCmd>(&command)) {
        if (mbAutoConfirm) {
            SendToDaemon(kNotificationQueue, ConfirmEv{subscribe->subscriptionId});
        }
    }
    if (mbCallManager) {
        ActAsCallManager(command);
    }
}

void ExchangeSim::ActAsCallManager(const ExchangeMessage& command) {
    if (auto* create = std::get_if<CreateCallCmd>(&command)) {
        SimCall& call = mmapCalls[create->callId];
        call.from = create->from;
        call.to = create->to.user;
        call.created = static_cast<long long>(std::time(nullptr));
        call.connected = Clock::time_point::min();
        SendToCallManagerQueue(CallStateChangedEv{create->callId, kStateRinging});
        Schedule(kConnectDelayMs, create->callId,
                 CallStateChangedEv{create->callId, kStateConnected});
    } else if (auto* close = std::get_if<CloseCallCmd>(&command)) {
        // Whatever was still to come for the call is dropped.
        for (auto it = mmapTimers.begin(); it != mmapTimers.end();) {
            it = it->second.callId == close->callId ? mmapTimers.erase(it) : std::next(it);
        }
        CDRArrivedEv cdr;
        auto found = mmapCalls.find(close->callId);
        if (found != mmapCalls.end()) {
            const SimCall& call = found->second;
            cdr.cdr.callingUser = cdr.cdr.from = call.from;
            cdr.cdr.calledUser = cdr.cdr.to = call.to;
            cdr.cdr.startTime = call.created;
            if (call.connected != Clock::time_point::min()) {
                cdr.cdr.duration = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - call.connected)
                        .count());
            }
            mmapCalls.erase(found);
        }
        cdr.cdr.callGuid = "sim-" + std::to_string(close->callId);
        SendToCallManagerQueue(CallStateChangedEv{close->callId, kStateDisconnected});
        SendToCallManagerQueue(cdr);
    } else if (auto* play = std::get_if<PlayMessageCmd>(&command)) {
        Schedule(kPlayDelayMs, play->callId, MessagePlayedEv{play->callId});
    } else if (auto* dtmf = std::get_if<InjectDTMFCmd>(&command)) {
        SendToCallManagerQueue(DTMFInjectedEv{dtmf->callId});
    }
}

void ExchangeSim::Schedule(int delayMs, unsigned long long callId, const ExchangeMessage& event) {
    mmapTimers.emplace(Clock::now() + std::chrono::milliseconds(delayMs), Timer{callId, event});
}

void ExchangeSim::FireDueTimers() {
    const auto now = Clock::now();
    while (!mmapTimers.empty() && mmapTimers.begin()->first <= now) {
        Timer timer = mmapTimers.begin()->second;
        mmapTimers.erase(mmapTimers.begin());
        if (auto* state = std::get_if<CallStateChangedEv>(&timer.event)) {
            auto call = mmapCalls.find(timer.callId);
            if (state->state == kStateConnected && call != mmapCalls.end()) {
                call->second.connected = now;
            }
        }
        SendToCallManagerQueue(timer.event);
    }
}

int ExchangeSim::NextTimerMs() const {
    if (mmapTimers.empty()) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mmapTimers.begin()->first -
                                                                      Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
}

bool ExchangeSim::SendToCallManagerQueue(const ExchangeMessage& event) {
    return SendToDaemon(kCallManagerQueue, event);
}

bool ExchangeSim::SendToDaemon(int queue, const ExchangeMessage& message) {
    // The message waits in the queue's ring when the daemon is not running.
    if (!AppendToQueue(kQueuePath, queue, EncodeMessage(message), true)) {
        Error(std::string("cannot queue ") + MessageName(message) + " to the daemon's queue " +
              std::to_string(queue) + " (full)");
        return false;
    }
    return true;
}

void ExchangeSim::PrintLine(const nlohmann::ordered_json& line) {
    std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
