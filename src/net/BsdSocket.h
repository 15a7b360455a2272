// TCP and UDP sockets of the platform utility library: IPv4, a listener on an
// IPv6 or dual-stack address (OpenListener), and the IPv4 and IPv6 addresses a
// stream connection tries (ResolveStream).
//
// A BsdSocket owns its descriptor and closes it when destroyed. Not
// thread-safe: one thread uses a socket at a time, except that Send on a
// datagram socket may be called from several threads at once.
#pragma once

#include <netinet/in.h>

#include <sys/socket.h>

#include <string>
#include <vector>

// One address a stream socket connects to: IPv4 or IPv6, with its port.
struct StreamAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int Family() const { return storage.ss_family; }
    const sockaddr* Native() const { return reinterpret_cast<const sockaddr*>(&storage); }
    // The address and port as a log shows them: "192.0.2.1:443", "[2001:db8::1]:443".
    std::string Text() const;
};

class SockAddr {
  public:
    SockAddr() = default;
    // `host` in host byte order (0 means every local address); `port` in host order.
    SockAddr(unsigned long host, unsigned short port, bool unused = false);

    sockaddr_in& Native() { return mAddr; }
    const sockaddr_in& Native() const { return mAddr; }
    unsigned short Port() const;
    void SetPort(unsigned short port);

  private:
    sockaddr_in mAddr{};
};

class BsdSocket {
  public:
    explicit BsdSocket(bool unused = false);
    virtual ~BsdSocket();
    BsdSocket(const BsdSocket&) = delete;
    BsdSocket& operator=(const BsdSocket&) = delete;

    // A TCP socket bound to `address` and listening (`type` 1 = stream). Non-zero on success.
    virtual int Open(int type, const SockAddr& address, int backlog, int flags);
    // A TCP socket listening on `address`: an IPv4 or IPv6 literal (an IPv6
    // one may stand in brackets), or empty for every address, IPv4 and IPv6,
    // through one dual-stack socket (every IPv4 address where the system has
    // no IPv6). False (errno set) on failure.
    bool OpenListener(const std::string& address, unsigned short port);
    // Takes one pending connection into `into`. Exactly 1 on success.
    virtual int Accept(BsdSocket& into);
    // A UDP socket bound to `address`. True on success.
    bool CreateUDPSocket(SockAddr* address);
    // 1: non-blocking; 0: blocking.
    bool ChangeMode(int nonBlocking);
    int SetSocketOption(int level, int option, const void* value, unsigned length);
    // Writes the whole buffer, waiting up to `timeoutSeconds` for room each time
    // the socket is full. Returns the bytes written, or -1 on an error before any.
    int Send(const char* data, int length, int timeoutSeconds, int flags);
    void Close();

    int GetDescriptor() const { return mFd; }
    // Resolves a host name or dotted address into `address` (port unchanged).
    static bool GetHostByName(const char* host, SockAddr& address);
    // The addresses a stream connection to `host` tries, in the resolver's
    // order. An IPv4 or IPv6 literal (the latter also in brackets) gives
    // itself. A name gives every IPv6 and IPv4 address with `everyAddress`,
    // else its first IPv4 address only. Empty when nothing resolves.
    // An IPv4 or IPv6 literal (the latter also in brackets).
    static bool IsAddressLiteral(const std::string& text);
    // "PORT" (`defaultHost`), "HOST:PORT", "[IPV6]:PORT" or ":PORT" (every
    // address: `host` empty) into a host for OpenListener and a port 1..65535.
    static bool ParseEndpoint(const std::string& text, const char* defaultHost, std::string& host,
                              unsigned short& port);
    static std::vector<StreamAddress> ResolveStream(const std::string& host, unsigned short port,
                                                    bool everyAddress);

  private:
    int mFd = -1;
};
