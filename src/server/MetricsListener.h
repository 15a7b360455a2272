// The metrics listener: plain HTTP on the address of "metrics-listen",
// answering "GET /metrics" with the registry's text (base/Metrics.h) and
// anything else with 404. A request may be at most kMaxRequest bytes, at most
// kMaxClients are served at once (a newcomer past it is closed), and each has
// kDeadlineMs from its accept to send its request and read the whole answer,
// so a slow reader costs a descriptor for a few seconds at most.
//
// Threads: the connection thread; every call and handler runs on the loop
// given at construction, outside CallControlService::mServMutex.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "net/BsdSocket.h"
#include "net/EventLoop.h"

class MetricsListener {
  public:
    static constexpr size_t kMaxRequest = 4096;
    static constexpr size_t kMaxClients = 16;
    static constexpr long kDeadlineMs = 5000;

    explicit MetricsListener(EventLoop& loop);
    ~MetricsListener();
    MetricsListener(const MetricsListener&) = delete;
    MetricsListener& operator=(const MetricsListener&) = delete;

    // Listens where `setting` says ("" : nowhere, false); false (logged)
    // when the setting cannot be read or the address not bound.
    bool Open(const std::string& setting);
    // "PORT" (loopback), "HOST:PORT", "[IPV6]:PORT" or ":PORT" (every
    // address) into a literal for BsdSocket::OpenListener and a port.
    static bool ParseSetting(const std::string& setting, std::string& host, unsigned short& port);
    // The answer to one request head.
    static std::string Answer(const std::string& head);

  private:
    struct Client {
        int fd = -1;
        std::string input;
        std::string output;
        size_t written = 0;
        EventLoop::TimerId deadline = 0;
        ~Client();
    };
    void AcceptAll();
    void Serve(int fd, unsigned ready);
    void Close(int fd);

    EventLoop& mLoop;
    BsdSocket mListener;
    std::map<int, std::unique_ptr<Client>> mClients;  // by descriptor
    EventLoop::TimerId mRest = 0;  // the listener's pause when out of descriptors
};

// The "metrics-listen" setting as read at the connection thread's start.
const std::string& MetricsListenSetting();
