#include "net/BsdSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

SockAddr::SockAddr(unsigned long host, unsigned short port, bool /*unused*/) {
    mAddr.sin_family = AF_INET;
    mAddr.sin_addr.s_addr = htonl(static_cast<uint32_t>(host));
    mAddr.sin_port = htons(port);
}

unsigned short SockAddr::Port() const {
    return ntohs(mAddr.sin_port);
}

void SockAddr::SetPort(unsigned short port) {
    mAddr.sin_port = htons(port);
}

BsdSocket::BsdSocket(bool /*unused*/) {}

BsdSocket::~BsdSocket() {
    Close();
}

void BsdSocket::Close() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

int BsdSocket::Open(int /*type*/, const SockAddr& address, int backlog, int /*flags*/) {
    Close();
    mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mFd < 0) {
        return 0;
    }
    const int one = 1;
    ::setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    const sockaddr_in& addr = address.Native();
    if (::bind(mFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(mFd, backlog > 0 ? backlog : SOMAXCONN) != 0) {
        Close();
        return 0;
    }
    return 1;
}

bool BsdSocket::OpenListener(const std::string& address, unsigned short port) {
    Close();
    std::string literal = address;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') {
        literal = literal.substr(1, literal.size() - 2);
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (literal.empty()) {
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(port);
        length = sizeof(*v6);
    } else if (::inet_pton(AF_INET, literal.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(*v4);
    } else if (::inet_pton(AF_INET6, literal.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(*v6);
    } else {
        errno = EINVAL;
        return false;
    }
    mFd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mFd < 0 && literal.empty() && errno == EAFNOSUPPORT) {
        return Open(1, SockAddr(0, port), 0, 0) != 0;  // no IPv6 here: every IPv4 address
    }
    if (mFd < 0) {
        return false;
    }
    const int one = 1;
    const int zero = 0;
    ::setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (literal.empty()) {
        ::setsockopt(mFd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
    }
    if (::bind(mFd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
        ::listen(mFd, SOMAXCONN) != 0) {
        const int error = errno;
        Close();
        errno = error;
        return false;
    }
    return true;
}

int BsdSocket::Accept(BsdSocket& into) {
    if (mFd < 0) {
        return 0;
    }
    const int fd = ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    into.Close();
    into.mFd = fd;
    return 1;
}

bool BsdSocket::CreateUDPSocket(SockAddr* address) {
    Close();
    mFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (mFd < 0) {
        return false;
    }
    sockaddr_in& addr = address->Native();
    if (::bind(mFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
        return false;
    }
    return true;
}

bool BsdSocket::ChangeMode(int nonBlocking) {
    if (mFd < 0) {
        return false;
    }
    const int flags = ::fcntl(mFd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    const int wanted = nonBlocking != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(mFd, F_SETFL, wanted) == 0;
}

int BsdSocket::SetSocketOption(int level, int option, const void* value, unsigned length) {
    if (mFd < 0) {
        return -1;
    }
    return ::setsockopt(mFd, level, option, value, length);
}

int BsdSocket::Send(const char* data, int length, int timeoutSeconds, int flags) {
    if (mFd < 0 || length < 0) {
        return -1;
    }
    int sent = 0;
    while (sent < length) {
        const ssize_t n =
            ::send(mFd, data + sent, static_cast<size_t>(length - sent), flags | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{mFd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, timeoutSeconds > 0 ? timeoutSeconds * 1000 : 0);
            if (ready > 0) {
                continue;
            }
        }
        break;
    }
    return sent > 0 || length == 0 ? sent : -1;
}

bool BsdSocket::GetHostByName(const char* host, SockAddr& address) {
    if (host == nullptr || *host == '\0') {
        return false;
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, host, &parsed) == 1) {
        address.Native().sin_family = AF_INET;
        address.Native().sin_addr = parsed;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) {
        return false;
    }
    address.Native().sin_family = AF_INET;
    address.Native().sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    ::freeaddrinfo(result);
    return true;
}

std::string StreamAddress::Text() const {
    char text[INET6_ADDRSTRLEN] = "";
    unsigned short port = 0;
    if (Family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
        port = ntohs(v6->sin6_port);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
    port = ntohs(v4->sin_port);
    return std::string(text) + ":" + std::to_string(port);
}

std::vector<StreamAddress> BsdSocket::ResolveStream(const std::string& host, unsigned short port,
                                                    bool everyAddress) {
    std::vector<StreamAddress> addresses;
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty()) {
        return addresses;
    }
    StreamAddress literal;
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&literal.storage);
    if (::inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        literal.length = sizeof(*v6);
        addresses.push_back(literal);
        return addresses;
    }
    if (!everyAddress) {
        SockAddr v4;
        if (GetHostByName(name.c_str(), v4)) {
            v4.SetPort(port);
            std::memcpy(&literal.storage, &v4.Native(), sizeof(sockaddr_in));
            literal.length = sizeof(sockaddr_in);
            addresses.push_back(literal);
        }
        return addresses;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) {
        return addresses;
    }
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
            ai->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        StreamAddress address;
        std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
        address.length = ai->ai_addrlen;
        if (ai->ai_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
        } else {
            reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
        }
        addresses.push_back(address);
    }
    ::freeaddrinfo(result);
    return addresses;
}

bool BsdSocket::IsAddressLiteral(const std::string& text) {
    std::string literal = text;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') {
        literal = literal.substr(1, literal.size() - 2);
    }
    in6_addr scratch{};
    return ::inet_pton(AF_INET, literal.c_str(), &scratch) == 1 ||
           ::inet_pton(AF_INET6, literal.c_str(), &scratch) == 1;
}

bool BsdSocket::ParseEndpoint(const std::string& text, const char* defaultHost, std::string& host,
                              unsigned short& port) {
    std::string portText = text;
    host = defaultHost;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.find(':') != std::string::npos && host.front() != '[') {
            return false;  // an IPv6 address needs its brackets before the port
        }
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long value = std::stoul(portText);
    if (value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<unsigned short>(value);
    return true;
}
