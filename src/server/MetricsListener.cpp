#include "server/MetricsListener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "base/Metrics.h"
#include "base/NumberString.h"
#include "core/ExtCallControl.h"

namespace {

using TR = ExtCallControl;

std::string Response(const char* status, const std::string& type, const std::string& body) {
    std::string out = "HTTP/1.1 ";
    out += status;
    out += "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

}  // namespace

MetricsListener::Client::~Client() {
    if (fd >= 0) {
        ::close(fd);
    }
}

MetricsListener::MetricsListener(EventLoop& loop) : mLoop(loop) {}

MetricsListener::~MetricsListener() {
    while (!mClients.empty()) {
        Close(mClients.begin()->first);
    }
    mLoop.CancelTimer(mRest);
    if (mListener.GetDescriptor() >= 0) {
        mLoop.Forget(mListener.GetDescriptor());
    }
}

bool MetricsListener::ParseSetting(const std::string& setting, std::string& host,
                                   unsigned short& port) {
    return BsdSocket::ParseEndpoint(setting, "127.0.0.1", host, port);
}

bool MetricsListener::Open(const std::string& setting) {
    if (setting.empty()) {
        return false;
    }
    std::string host;
    unsigned short port = 0;
    if (!ParseSetting(setting, host, port)) {
        TR::TRACEX("CCS: Metrics. ERROR. metrics-listen [%s] is no address and port.\n",
                   setting.c_str());
        return false;
    }
    if (!mListener.OpenListener(host, port)) {
        TR::TRACEX("CCS: Metrics. ERROR. Cannot listen on [%s]:%u (errno %d).\n", host.c_str(),
                   static_cast<unsigned>(port), errno);
        return false;
    }
    mListener.ChangeMode(1);
    mLoop.Watch(mListener.GetDescriptor(), EventLoop::kRead, [this](unsigned) { AcceptAll(); });
    TR::TRACEX("CCS: Metrics. Listening on [%s]:%u.\n", host.c_str(), static_cast<unsigned>(port));
    return true;
}

void MetricsListener::AcceptAll() {
    for (;;) {
        const int fd =
            ::accept4(mListener.GetDescriptor(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // The listener stays ready: it rests a second instead of
                // spinning the loop until a descriptor is free.
                const int listenFd = mListener.GetDescriptor();
                mLoop.SetEvents(listenFd, 0);
                mRest = mLoop.AddTimer(
                    1000, [this, listenFd] { mLoop.SetEvents(listenFd, EventLoop::kRead); });
            }
            return;
        }
        if (mClients.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->deadline = mLoop.AddTimer(kDeadlineMs, [this, fd] { Close(fd); });
        mClients[fd] = std::move(client);
        mLoop.Watch(fd, EventLoop::kRead, [this, fd](unsigned ready) { Serve(fd, ready); });
    }
}

std::string MetricsListener::Answer(const std::string& head) {
    const size_t end = head.find_first_of("\r\n");
    const std::string line = head.substr(0, end);
    if (line.rfind("GET /metrics ", 0) == 0 || line == "GET /metrics") {
        return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                        metrics::Registry::Instance().Render());
    }
    return Response("404 Not Found", "text/plain; charset=utf-8", "Not found: GET /metrics\n");
}

void MetricsListener::Serve(int fd, unsigned ready) {
    const auto it = mClients.find(fd);
    if (it == mClients.end()) {
        return;
    }
    Client& c = *it->second;
    if (c.output.empty() && (ready & EventLoop::kRead) != 0) {
        char buffer[1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            Close(fd);
            return;
        }
        if (n > 0) {
            c.input.append(buffer, static_cast<size_t>(n));
        }
        const size_t end = c.input.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (c.input.size() > kMaxRequest) {
                Close(fd);
            }
            return;
        }
        if (end > kMaxRequest) {
            Close(fd);
            return;
        }
        c.output = Answer(c.input.substr(0, end));
    }
    if (c.output.empty()) {
        return;
    }
    while (c.written < c.output.size()) {
        const ssize_t n = ::send(fd, c.output.data() + c.written, c.output.size() - c.written,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c.written += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            mLoop.SetEvents(fd, EventLoop::kWrite);
            return;
        } else {
            break;
        }
    }
    Close(fd);
}

void MetricsListener::Close(int fd) {
    const auto it = mClients.find(fd);
    if (it == mClients.end()) {
        return;
    }
    mLoop.Forget(fd);
    mLoop.CancelTimer(it->second->deadline);
    mClients.erase(it);  // closes the descriptor
}
