// The exchange simulator: stands in for the call manager and the notification
// service on the exchange link. Binds cm.sock and ns.sock, turns JSON lines on
// standard input into events for the daemon, and prints every command the
// daemon sends as one JSON line on standard output.
//
// Threads: single-threaded; everything runs in Run()'s poll loop. The only
// thing shared with a signal handler is the write end of the stop pipe.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "exchange/ExchangeCodec.h"
#include "exchange/ExchangeLink.h"
#include "exchange/QueueRing.h"

class ExchangeSim {
  public:
    ExchangeSim() = default;
    ~ExchangeSim();
    ExchangeSim(const ExchangeSim&) = delete;
    ExchangeSim& operator=(const ExchangeSim&) = delete;

    // Binds the two sockets and prints the readiness line; false when they cannot be bound.
    bool Start();
    // The loop; returns the exit code (0 after the end of input or a stop signal).
    int Run();

  private:
    void HandleInputLine(const std::string& line);
    void HandleControl(const nlohmann::json& line);
    void HandleEvent(const nlohmann::json& line);
    void DrainSocket(int fd);
    void HandleCommand(const exlink::ExchangeMessage& command);
    bool SendToDaemon(int queue, const exlink::ExchangeMessage& message);
    static void PrintLine(const nlohmann::ordered_json& line);

    // Call-manager mode: the simulator answers call commands with the events
    // a real call manager would send (docs/exchange-sim.md).
    using Clock = std::chrono::steady_clock;
    struct SimCall {
        std::string from;
        std::string to;
        long long created = 0;                                   // seconds since the epoch
        Clock::time_point connected = Clock::time_point::min();  // min: not (yet) connected
    };
    struct Timer {
        unsigned long long callId;
        exlink::ExchangeMessage event;
    };
    void ActAsCallManager(const exlink::ExchangeMessage& command);
    void Schedule(int delayMs, unsigned long long callId, const exlink::ExchangeMessage& event);
    void FireDueTimers();
    // Milliseconds until the next timer; -1 when there is none.
    int NextTimerMs() const;
    bool SendToCallManagerQueue(const exlink::ExchangeMessage& event);

    exlink::UniqueFd mCm;  // the call manager's command socket
    exlink::UniqueFd mNs;  // the notification service's command socket
    std::string mCmPath;
    std::string mNsPath;
    std::map<std::string, unsigned long long> mmapRequesters;  // extension -> requester
    bool mbAutoConfirm = true;
    bool mbCallManager = false;
    std::map<unsigned long long, SimCall> mmapCalls;
    std::multimap<Clock::time_point, Timer> mmapTimers;
};
