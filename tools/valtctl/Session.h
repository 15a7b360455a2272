// One control connection seen from the client side: messages are cut at the
// first CR LF CR LF; a request of the daemon is handed to the request handler
// and its answer written at once; any other message is the answer to the
// oldest of our own requests still waiting (answers come back in order).
// During an upload the daemon acknowledges each body chunk with the two bytes
// "OK", outside the message framing; AwaitAck reads those.
//
// Threads: one thread uses a session at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "Transport.h"
#include "xmlrpc/XmlRpcMethod.h"

class Session {
  public:
    enum class Status {
        kOk,
        kTimeout,      // the time limit passed
        kClosed,       // the daemon closed the connection
        kError,        // read or write failure (LastError)
        kInterrupted,  // a signal arrived (Ctrl-C)
        kBadAnswer,    // the answer could not be read as one of this request
    };

    // Answers a request of the daemon; a null result is answered with a plain
    // response carrying the request's ID.
    using RequestHandler =
        std::function<std::unique_ptr<XmlRpcResponseMethod>(XmlRpcRequestMethod& request)>;

    explicit Session(Transport& transport) : mTransport(transport) {}

    void SetRequestHandler(RequestHandler handler) { mHandler = std::move(handler); }

    // Writes the request and queues it for its answer; 0 on a write failure,
    // else a ticket for Await.
    uint64_t Send(std::unique_ptr<XmlRpcRequestMethod> request);
    // Serves the daemon until the answer of `ticket` has arrived.
    Status Await(uint64_t ticket, std::unique_ptr<XmlRpcResponseMethod>& answer, int timeoutMs);
    // Send and Await together.
    Status Call(std::unique_ptr<XmlRpcRequestMethod> request,
                std::unique_ptr<XmlRpcResponseMethod>& answer, int timeoutMs);
    // Serves the daemon's requests for `timeoutMs` (negative: until something
    // ends it); kTimeout when the time passed quietly.
    Status Serve(int timeoutMs);
    // Waits for the "OK" of an upload chunk. `acked` false means the answer to
    // request `ticket` came instead (the daemon refused the body).
    Status AwaitAck(uint64_t ticket, bool& acked, int timeoutMs);
    // Raw bytes (an upload chunk) on the connection.
    bool WriteRaw(const std::string& bytes);

    std::string LastError() const { return mError; }
    size_t Outstanding() const { return mPending.size(); }

  private:
    struct Pending {
        uint64_t ticket;
        std::unique_ptr<XmlRpcRequestMethod> request;
    };

    // Handles one complete message from the front of the buffer; false when
    // there is none.
    bool HandleOneMessage();
    void HandleRequest(XmlRpcRequestMethod* request);
    void HandleAnswer(const std::string& text);
    // Reads more bytes into the buffer, waiting until `deadline`.
    Status ReadMore(int timeoutMs);
    bool Answered(uint64_t ticket) const;
    std::unique_ptr<XmlRpcResponseMethod> TakeAnswer(uint64_t ticket);

    Transport& mTransport;
    RequestHandler mHandler;
    std::string mBuffer;
    std::deque<Pending> mPending;  // oldest first
    struct Done {
        uint64_t ticket;
        std::unique_ptr<XmlRpcResponseMethod> answer;  // null: unreadable
    };
    std::deque<Done> mDone;
    uint64_t mNextTicket = 1;
    std::string mError;
};
