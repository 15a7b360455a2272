// libFuzzer target for a client connection's message framing and dispatch:
// the input arrives in pieces (sizes taken from its first byte) in the receive
// buffer of a connection object whose socket is a loopback TCP connection, and
// every complete message is carried out by TakeInput, as the
// connection thread does. Before the input the daemon has offered the client
// one call and told it one state change, so answers to the daemon's own
// requests are dispatched too. The exchange link has no peer here (VALTD_ROOT
// is a fresh directory), so its commands fail at once.
#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "TempRoot.h"
#include "core/Call.h"
#include "server/CallControlService.h"
#include "xmlrpc/XmlRpcLog.h"

namespace {

BsdSocket* gListener = nullptr;  // lives as long as the process
sockaddr_in gAddress{};

// Reads whatever the connection wrote so far, so its writes never stall.
void Drain(int client) {
    char buffer[65536];
    while (recv(client, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static TempRoot root;  // VALTD_ROOT for the whole run, removed at exit
    SetXmlRpcLogSink([](const char*) {});
    CallControlService::mbRequireAuth = false;

    static BsdSocket listener;
    gListener = &listener;
    socklen_t length = sizeof(gAddress);
    if (listener.Open(1, SockAddr(INADDR_LOOPBACK, 0), 4, 0) == 0 ||
        getsockname(listener.GetDescriptor(), reinterpret_cast<sockaddr*>(&gAddress), &length) !=
            0) {
        perror("listener");
        abort();
    }
    return 0;
}

// Connects `client` to the listener; a connect interrupted by a signal (the
// fuzzer's own timers) goes on in the background and is waited for.
static bool ConnectToListener(int client) {
    if (connect(client, reinterpret_cast<sockaddr*>(&gAddress), sizeof(gAddress)) == 0) {
        return true;
    }
    if (errno != EINTR) {
        return false;
    }
    pollfd p{client, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t length = sizeof(error);
    return getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    if (client < 0 || !ConnectToListener(client)) {
        perror("connect");
        abort();
    }
    {
        auto conn = CallControlService::Accept(*gListener);
        if (conn == nullptr) {
            perror("accept");
            abort();
        }

        // The daemon's own requests awaiting answers: an offered call and a
        // state change of it.
        Call* offered = new Call(7);
        offered->SetListener(conn.get());
        conn->CallArrived(offered, ExtCallType_PBX, "201", CallParams{}, CallParams{}, 0);
        conn->CallStateChanged(offered, static_cast<ExtCallState>(1));
        conn->SendRequest();
        conn->SendRequest();
        Drain(client);

        const size_t piece = size > 0 ? 1 + data[0] * 4u : 1;
        size_t at = size > 0 ? 1 : 0;
        while (at < size) {
            const size_t n = size - at < piece ? size - at : piece;
            // As the connection thread would, but for closing: every piece
            // is dispatched whatever the last one did.
            conn->TakeInput(reinterpret_cast<const char*>(data) + at, n);
            at += n;
            Drain(client);
        }
    }
    close(client);
    return 0;
}
