#include "Session.h"

#include <chrono>

namespace {

const char kDelimiter[] = "\r\n\r\n";
constexpr size_t kDelimiterLength = 4;
constexpr size_t kReadSize = 16384;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`; -1 when there is no limit.
int Left(Clock::time_point deadline, bool limited) {
    if (!limited) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Deletes what the factory made, except its marker for unknown methods.
struct RequestOwner {
    void operator()(XmlRpcRequestMethod* m) const {
        if (m != XmlRpcRequestMethod::_UnknownMethod) {
            delete m;
        }
    }
};

}  // namespace

uint64_t Session::Send(std::unique_ptr<XmlRpcRequestMethod> request) {
    std::string text;
    if (!request || !request->BuildXML(text)) {
        mError = "the request cannot be written";
        return 0;
    }
    if (!mTransport.Write(text)) {
        mError = mTransport.LastError();
        return 0;
    }
    const uint64_t ticket = mNextTicket++;
    mPending.push_back(Pending{ticket, std::move(request)});
    return ticket;
}

bool Session::WriteRaw(const std::string& bytes) {
    if (!mTransport.Write(bytes)) {
        mError = mTransport.LastError();
        return false;
    }
    return true;
}

Session::Status Session::Call(std::unique_ptr<XmlRpcRequestMethod> request,
                              std::unique_ptr<XmlRpcResponseMethod>& answer, int timeoutMs) {
    const uint64_t ticket = Send(std::move(request));
    if (ticket == 0) {
        return Status::kError;
    }
    return Await(ticket, answer, timeoutMs);
}

Session::Status Session::Await(uint64_t ticket, std::unique_ptr<XmlRpcResponseMethod>& answer,
                               int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (!Answered(ticket) && HandleOneMessage()) {
        }
        if (Answered(ticket)) {
            answer = TakeAnswer(ticket);
            return answer ? Status::kOk : Status::kBadAnswer;
        }
        Status status = ReadMore(Left(deadline, timeoutMs >= 0));
        if (status != Status::kOk) {
            return status;
        }
    }
}

Session::Status Session::Serve(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (HandleOneMessage()) {
        }
        Status status = ReadMore(Left(deadline, timeoutMs >= 0));
        if (status != Status::kOk) {
            return status;
        }
    }
}

Session::Status Session::AwaitAck(uint64_t ticket, bool& acked, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    acked = false;
    for (;;) {
        if (Answered(ticket)) {
            return Status::kOk;
        }
        if (mBuffer.compare(0, 2, "OK") == 0) {
            mBuffer.erase(0, 2);
            acked = true;
            return Status::kOk;
        }
        // Anything else in front is a message: the refusal, or a request of
        // the daemon that was on its way before the upload began.
        const bool partialAck = mBuffer == "O";
        if (!partialAck && !mBuffer.empty() && HandleOneMessage()) {
            continue;
        }
        Status status = ReadMore(Left(deadline, timeoutMs >= 0));
        if (status != Status::kOk) {
            return status;
        }
    }
}

Session::Status Session::ReadMore(int timeoutMs) {
    char chunk[kReadSize];
    long n = mTransport.Read(chunk, sizeof chunk, timeoutMs);
    if (n > 0) {
        mBuffer.append(chunk, static_cast<size_t>(n));
        return Status::kOk;
    }
    switch (n) {
        case Transport::kClosed:
            mError = "the daemon closed the connection";
            return Status::kClosed;
        case Transport::kTimeout:
            return Status::kTimeout;
        case Transport::kInterrupted:
            return Status::kInterrupted;
        default:
            mError = mTransport.LastError();
            return Status::kError;
    }
}

bool Session::HandleOneMessage() {
    const size_t end = mBuffer.find(kDelimiter);
    if (end == std::string::npos) {
        return false;
    }
    std::string text = mBuffer.substr(0, end);
    mBuffer.erase(0, end + kDelimiterLength);
    XmlRpcRequestMethod* request = XmlRpcRequestMethod::CreateFromXML(text.c_str());
    if (request != nullptr) {
        HandleRequest(request);
    } else {
        HandleAnswer(text);
    }
    return true;
}

void Session::HandleRequest(XmlRpcRequestMethod* raw) {
    std::unique_ptr<XmlRpcRequestMethod, RequestOwner> request(raw);
    std::unique_ptr<XmlRpcResponseMethod> answer;
    if (raw == XmlRpcRequestMethod::_UnknownMethod) {
        // Still answered: the daemon matches answers to its requests by order.
        auto fault = std::make_unique<FaultResponseMethod>(0);
        fault->SetParams(1, "Unknown XML RPC method");
        answer = std::move(fault);
    } else {
        if (mHandler) {
            answer = mHandler(*request);
        }
        if (!answer) {
            answer = std::make_unique<XmlRpcResponseMethod>(request->GetMethodIndex());
            answer->SetParams(request->GetCallID());
        }
    }
    std::string text;
    if (answer->BuildXML(text) && !mTransport.Write(text)) {
        mError = mTransport.LastError();
    }
}

void Session::HandleAnswer(const std::string& text) {
    if (mPending.empty()) {
        return;  // nothing asked: not ours to read
    }
    Pending oldest = std::move(mPending.front());
    mPending.pop_front();
    std::unique_ptr<XmlRpcResponseMethod> answer(
        oldest.request->CreateResponseFromXML(text.c_str()));
    mDone.push_back(Done{oldest.ticket, std::move(answer)});
}

bool Session::Answered(uint64_t ticket) const {
    for (const Done& d : mDone) {
        if (d.ticket == ticket) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<XmlRpcResponseMethod> Session::TakeAnswer(uint64_t ticket) {
    for (auto it = mDone.begin(); it != mDone.end(); ++it) {
        if (it->ticket == ticket) {
            std::unique_ptr<XmlRpcResponseMethod> answer = std::move(it->answer);
            mDone.erase(it);
            return answer;
        }
    }
    return nullptr;
}
