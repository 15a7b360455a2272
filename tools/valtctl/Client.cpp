#include "Client.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>

#include "base/NumberString.h"
#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/SubscriptionMethods.h"
#include "xmlrpc/SystemMethods.h"

volatile std::sig_atomic_t gStopRequested = 0;

namespace {

constexpr size_t kChunkSize = 1024;
constexpr int kSliceMs = 200;  // how often long waits look at the stop flag
constexpr int kExitInterrupted = 130;

std::string FaultText(const XmlRpcResponseMethod& answer) {
    const auto* fault = dynamic_cast<const FaultResponseMethod*>(&answer);
    const XmlRpcValueStruct* s = fault != nullptr ? fault->GetFault() : nullptr;
    const XmlRpcValue* text = s != nullptr ? s->GetMemberValue("faultString") : nullptr;
    if (text != nullptr && text->IsType(XmlRpcValue::TypeString)) {
        return static_cast<const XmlRpcValueString*>(text)->mstrValue;
    }
    return "the daemon refused the request";
}

const std::string* StringAt(const XmlRpcMethod& m, int pos) {
    const XmlRpcValue* v = m.GetParam(pos);
    return v != nullptr && v->IsType(XmlRpcValue::TypeString)
               ? &static_cast<const XmlRpcValueString*>(v)->mstrValue
               : nullptr;
}

bool BoolAt(const XmlRpcMethod& m, int pos) {
    const XmlRpcValue* v = m.GetParam(pos);
    return v != nullptr && v->IsType(XmlRpcValue::TypeBool) &&
           static_cast<const XmlRpcValueBool*>(v)->mbValue;
}

unsigned long long ParseId(const std::string& text, const char* what) {
    errno = 0;
    const unsigned long long id = std::strtoull(text.c_str(), nullptr, 10);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        errno == ERANGE) {
        throw UsageError(std::string(what) + " must be a decimal call ID, not \"" + text + "\"");
    }
    return id;
}

CallParams ParseParty(const std::string& text, const char* what) {
    CallParams party;
    if (!XmlRpcMethod::CallParamsFromString(text, party)) {
        throw UsageError(std::string("cannot read ") + what + " \"" + text + "\" as a call party");
    }
    return party;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError("cannot read " + path);
    }
    std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw UsageError("cannot read " + path);
    }
    if (body.size() > static_cast<size_t>(INT_MAX)) {
        throw UsageError(path + " is too large to upload");
    }
    return body;
}

unsigned long long RandomId() {
    std::random_device device;
    std::mt19937_64 engine((static_cast<unsigned long long>(device()) << 32) ^ device() ^
                           static_cast<unsigned long long>(::getpid()));
    return (engine() >> 1) | 1;
}

}  // namespace

std::string SecureDigest(const std::string& user, const std::string& password,
                         const std::string& timeStamp) {
    const std::string text = user + password + timeStamp;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0f];
    }
    return hex;
}

Client::Client(const GlobalOptions& options) : mOptions(options), mSession(mTransport) {
    mSession.SetRequestHandler([this](XmlRpcRequestMethod& request) { return OnRequest(request); });
}

int Client::Run(const std::vector<CommandArgs>& commands) {
    int code = Connect();
    if (code == kExitOk) {
        code = Authenticate();
    }
    for (size_t i = 0; code == kExitOk && i < commands.size(); ++i) {
        code = RunCommand(commands[i]);
    }
    return code;
}

int Client::Connect() {
    TlsSettings tls;
    tls.enabled = mOptions.tls;
    tls.caFile = mOptions.caFile;
    tls.insecure = mOptions.insecure;
    if (tls.enabled && tls.insecure) {
        std::fprintf(stderr,
                     "valtctl: warning: --insecure: the daemon's certificate is not checked; "
                     "whoever is on the way can read and change the session\n");
    }
    if (!mTransport.Connect(mOptions.host, mOptions.port, tls, mOptions.timeoutSec * 1000)) {
        std::string why = mTransport.LastError();
        if (why == std::strerror(ECONNREFUSED)) {
            why += " (is the daemon running and listening on that port?)";
        }
        return Fail(kExitConnection, "cannot connect to the daemon at " + mOptions.host + ":" +
                                         mOptions.port + ": " + why);
    }
    return kExitOk;
}

int Client::Authenticate() {
    std::unique_ptr<XmlRpcRequestMethod> request;
    if (mOptions.digest) {
        const std::string stamp = NumberToString(static_cast<long long>(std::time(nullptr)));
        auto secure = std::make_unique<SAuthenticateMethod>();
        secure->SetParams(mOptions.user, stamp,
                          SecureDigest(mOptions.user, mOptions.password, stamp));
        request = std::move(secure);
    } else {
        auto plain = std::make_unique<AuthenticateMethod>();
        plain->SetParams(mOptions.user, mOptions.password);
        request = std::move(plain);
    }
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = Ask(std::move(request), answer, "authentication");
    if (code != kExitOk) {
        return code;
    }
    const auto* result = dynamic_cast<const AuthenticateResponseMethod*>(answer.get());
    if (result == nullptr || !result->IsAccepted()) {
        std::string why = result != nullptr ? result->GetText() : FaultText(*answer);
        return Fail(kExitAuth, "authentication refused: " + why);
    }
    return kExitOk;
}

int Client::RunCommand(const CommandArgs& c) {
    mPolicy = AnswerPolicy();
    mWatcher = nullptr;
    using Handler = int (Client::*)(const CommandArgs&);
    static const std::pair<const char*, Handler> kHandlers[] = {
        {"create", &Client::Create},
        {"take", &Client::Take},
        {"subscribe", &Client::Subscribe},
        {"getext", &Client::GetExtension},
        {"sysinfo", &Client::SystemInfo},
        {"reload", &Client::Reload},
        {"status", &Client::Status},
        {"prompts", &Client::Prompts},
        {"config-upload", &Client::ConfigUpload},
        {"wait", &Client::Wait},
        {"shell", &Client::Shell},
        {"cdr", &Client::Cdr},
    };
    try {
        for (const auto& [name, handler] : kHandlers) {
            if (c.name == name) {
                return (this->*handler)(c);
            }
        }
        return CallCommand(c);
    } catch (const UsageError& e) {
        return Fail(kExitUsage, c.name + ": " + e.what());
    }
}

// ---- calls -----------------------------------------------------------------

int Client::Create(const CommandArgs& c) {
    const unsigned long long wanted = static_cast<unsigned long long>(c.GetNumber("id", 0));
    const CallParams to = ParseParty(c.positional[1], "TO");
    auto request = std::make_unique<CreateCallMethod>();
    if (!request->SetParams(wanted, c.positional[0], to,
                            c.positional.size() > 2 ? c.positional[2] : std::string())) {
        throw UsageError("cannot write TO \"" + c.positional[1] + "\" as a call party");
    }
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "create");
    if (code != kExitOk) {
        return code;
    }
    const std::string id = NumberToString(answer->GetCallID());
    PrintResult({{"command", "create"}, {"call", id}}, "call " + id + " created");
    if (!c.Has("watch")) {
        return kExitOk;
    }
    return ServeEvents(c, [id](const Event& e) {
        return e.value("call", std::string()) == id &&
               (e.value("ended", false) || e.value("failed", false));
    });
}

namespace {

// A request of type M with the given parameters, for methods whose SetParams
// cannot fail.
template <class M, class... Args>
std::unique_ptr<XmlRpcRequestMethod> WithParams(const Args&... args) {
    auto method = std::make_unique<M>();
    method->SetParams(args...);
    return method;
}

}  // namespace

int Client::CallCommand(const CommandArgs& c) {
    const std::vector<std::string>& p = c.positional;
    const unsigned long long id = ParseId(p[0], "ID");
    std::unique_ptr<XmlRpcRequestMethod> request;
    std::string done;
    if (c.name == "close") {
        request = WithParams<CloseCallMethod>(id);
        done = "closed";
    } else if (c.name == "transfer") {
        auto m = std::make_unique<TransferCallMethod>();
        if (!m->SetParams(id, ParseParty(p[1], "TARGET"))) {
            throw UsageError("cannot write TARGET \"" + p[1] + "\" as a call party");
        }
        request = std::move(m);
        done = "transferred to " + p[1];
    } else if (c.name == "join" || c.name == "unjoin") {
        const unsigned long long other = ParseId(p[1], "OTHER");
        if (c.name == "join") {
            request = WithParams<JoinCallsMethod>(id, other);
            done = "joined with " + p[1];
        } else {
            request = WithParams<UnjoinCallsMethod>(id, other);
            done = "unjoined from " + p[1];
        }
    } else if (c.name == "play") {
        auto m = std::make_unique<PlayMessageMethod>();
        if (p.size() > 2) {
            CommandArgs count;
            count.options["count"] = p[2];
            m->SetParams(id, p[1], static_cast<int>(count.GetNumber("count", 1)));
        } else {
            m->SetParams(id, p[1]);
        }
        request = std::move(m);
        done = "playing " + p[1];
    } else if (c.name == "dtmf") {
        request = WithParams<InjectDTMFMethod>(id, p[1]);
        done = "sent DTMF " + p[1];
    } else if (c.name == "detect-dtmf") {
        if (p[1] != "on" && p[1] != "off") {
            throw UsageError("say on or off, not \"" + p[1] + "\"");
        }
        request = WithParams<EnableDtmfDetectionMethod>(id, p[1] == "on");
        done = "DTMF detection " + p[1];
    } else {
        throw UsageError("unknown command");
    }
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, c.name);
    if (code == kExitOk) {
        PrintResult({{"command", c.name}, {"call", p[0]}, {"ok", true}},
                    "call " + p[0] + ": " + done);
    }
    return code;
}

int Client::Take(const CommandArgs& c) {
    AnswerPolicy policy;
    policy.remoteControl = c.Has("remote-control");
    std::string error;
    if (c.Has("answer")) {
        if (!ParseAnswer(c.Get("answer"), policy, error)) {
            throw UsageError(error);
        }
    } else if (::isatty(STDIN_FILENO)) {
        policy.kind = AnswerPolicy::kAsk;
    }
    const std::string& ext = c.positional[0];
    auto request = std::make_unique<IncomingCallHandlingMethod>();
    request->SetParams(ext, true);
    // Offers may follow the answer at once: the policy applies from here on.
    mPolicy = policy;
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "take");
    if (code != kExitOk) {
        return code;
    }
    PrintResult({{"command", "take"}, {"ext", ext}, {"ok", true}},
                "taking the calls of extension " + ext);
    return ServeEvents(c, nullptr);
}

// ---- subscriptions -----------------------------------------------------------

int Client::Subscribe(const CommandArgs& c) {
    const std::string& kind = c.positional[0];
    const bool needsExt = kind == "mail" || kind == "dialog" || kind == "presence";
    if (needsExt != (c.positional.size() == 2)) {
        throw UsageError(needsExt ? kind + " needs an extension" : kind + " takes no extension");
    }
    const unsigned long long id =
        c.Has("id") ? static_cast<unsigned long long>(c.GetNumber("id", 0)) : RandomId();
    auto request = std::make_unique<SubscribeMethod>();
    if (kind == "mail") {
        request->SetParamsMN(id, c.positional[1]);
    } else if (kind == "dialog") {
        request->SetParamsDialog(id, c.positional[1]);
    } else if (kind == "presence") {
        request->SetParamsPresence(id, c.positional[1]);
    } else if (kind == "cdr") {
        request->SetParamsCDR(id);
    } else if (kind == "routing") {
        request->SetParamsCR(id);
    } else if (kind == "extlist") {
        request->SetParamsExtList(id);
    } else {
        throw UsageError("unknown kind \"" + kind +
                         "\" (mail, dialog, presence, cdr, routing, extlist)");
    }
    AnswerPolicy policy;
    std::string error;
    if (c.Has("answer")) {
        if (!ParseAnswer(c.Get("answer"), policy, error) ||
            policy.kind == AnswerPolicy::kRedirect) {
            throw UsageError(error.empty() ? "routing answers are accept or decline" : error);
        }
    }
    mPolicy = policy;
    mRoutingId = kind == "routing" ? id : 0;
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "subscribe");
    if (code != kExitOk) {
        return code;
    }
    if (!BoolAt(*answer, 1)) {
        const XmlRpcValue* error = answer->GetParam(2);
        int errorCode = error != nullptr && error->IsType(XmlRpcValue::TypeInt)
                            ? static_cast<const XmlRpcValueInt*>(error)->mnValue
                            : 0;
        return Fail(kExitRefused,
                    "subscribe: refused by the exchange (error " + std::to_string(errorCode) + ")");
    }
    const std::string sid = NumberToString(id);
    PrintResult({{"command", "subscribe"}, {"kind", kind}, {"subscription", sid}},
                "subscribed to " + kind + (needsExt ? " of " + c.positional[1] : "") +
                    " (subscription " + sid + ")");
    return ServeEvents(c, nullptr);
}

// ---- system services -----------------------------------------------------------

int Client::GetExtension(const CommandArgs& c) {
    auto request = std::make_unique<GetExtensionMethod>();
    request->SetParams(c.positional[0]);
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "getext");
    if (code != kExitOk) {
        return code;
    }
    const std::string* text = StringAt(*answer, 1);
    if (!BoolAt(*answer, 0)) {
        return Fail(kExitRefused, "getext: " + (text != nullptr ? *text : "not found"));
    }
    PrintResult({{"command", "getext"}, {"user", c.positional[0]}, {"ext", *text}}, *text);
    return kExitOk;
}

int Client::SystemInfo(const CommandArgs&) {
    auto request = std::make_unique<GetSystemInfoMethod>();
    request->SetParams(NextRequestId());
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "sysinfo");
    if (code != kExitOk) {
        return code;
    }
    const std::string* unique = StringAt(*answer, 1);
    const std::string* version = StringAt(*answer, 2);
    const std::string u = unique != nullptr ? *unique : "";
    const std::string v = version != nullptr ? *version : "";
    PrintResult({{"command", "sysinfo"}, {"uniqueId", u}, {"version", v}},
                "unique ID: " + u + "\nversion:   " + v);
    return kExitOk;
}

int Client::Reload(const CommandArgs&) {
    auto request = std::make_unique<ReloadSettingsMethod>();
    request->SetParams(NextRequestId());
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "reload");
    if (code == kExitOk) {
        PrintResult({{"command", "reload"}, {"requested", true}},
                    "the daemon reads its settings again");
    }
    return code;
}

int Client::Prompts(const CommandArgs& c) {
    const std::vector<std::string>& p = c.positional;
    const std::string& action = p[0];
    CommandArgs number;
    number.options["type"] = p[1];
    const int type = static_cast<int>(number.GetNumber("type", 0));
    const std::string& ext = p[2];
    const std::string what = "prompts " + action;
    if (action == "list") {
        if (p.size() != 3) {
            throw UsageError("usage: prompts list TYPE EXT");
        }
        auto request = std::make_unique<GetWAVFilesMethod>();
        request->SetParams(NextRequestId(), type, ext);
        std::unique_ptr<XmlRpcResponseMethod> answer;
        int code = AskAnswered(std::move(request), answer, what);
        if (code != kExitOk) {
            return code;
        }
        const auto* list = dynamic_cast<const GetWAVFilesResponseMethod*>(answer.get());
        if (list == nullptr || !list->GetResult()) {
            return Fail(kExitRefused, what + ": no prompts for extension \"" + ext + "\"");
        }
        Event names = Event::array();
        std::string text;
        for (const std::string& name : list->GetNames()) {
            names.push_back(name);
            text += (text.empty() ? "" : "\n") + name;
        }
        if (mOptions.json) {
            PrintResult({{"command", what}, {"ext", ext}, {"files", names}}, "");
        } else if (!text.empty()) {
            PrintResult(Event(), text);
        }
        return kExitOk;
    }
    if (p.size() != 4) {
        throw UsageError("usage: prompts " + action + " TYPE EXT FILE");
    }
    if (action == "delete") {
        auto request = std::make_unique<FileDeleteMethod>();
        request->SetParams(NextRequestId(), type, ext, p[3]);
        std::unique_ptr<XmlRpcResponseMethod> answer;
        int code = AskAnswered(std::move(request), answer, what);
        if (code != kExitOk) {
            return code;
        }
        const auto* result = dynamic_cast<const FileDeleteResponseMethod*>(answer.get());
        if (result == nullptr || !result->GetResult()) {
            return Fail(kExitRefused, what + ": cannot delete " + p[3]);
        }
        PrintResult({{"command", what}, {"file", p[3]}, {"ok", true}}, "deleted " + p[3]);
        return kExitOk;
    }
    if (action != "upload") {
        throw UsageError("unknown action \"" + action + "\" (list, delete, upload)");
    }
    const std::string body = ReadFile(p[3]);
    const std::string name = BaseName(p[3]);
    const int size = static_cast<int>(body.size());
    // First the check: is the name free and is there room?
    auto check = std::make_unique<FileTransferMethod>();
    check->SetParams(NextRequestId(), type, ext, name, size, false);
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(check), answer, what);
    if (code != kExitOk) {
        return code;
    }
    const auto* checked = dynamic_cast<const FileTransferResponseMethod*>(answer.get());
    if (checked == nullptr || !checked->GetResult()) {
        return Fail(kExitRefused,
                    what + ": " + (checked != nullptr ? checked->GetMessage() : "refused"));
    }
    auto transfer = std::make_unique<FileTransferMethod>();
    transfer->SetParams(NextRequestId(), type, ext, name, size, true);
    const uint64_t ticket = mSession.Send(std::move(transfer));
    if (ticket == 0) {
        return Fail(kExitConnection, what + ": " + mSession.LastError());
    }
    code = SendBody(ticket, body, what, answer);
    if (code == kExitOk) {
        code = CheckFault(*answer, what);
    }
    if (code != kExitOk) {
        return code;
    }
    const auto* result = dynamic_cast<const FileTransferResponseMethod*>(answer.get());
    const std::string message = result != nullptr ? result->GetMessage() : "";
    if (result == nullptr || !result->GetResult()) {
        return Fail(kExitRefused, what + ": " + (message.empty() ? "refused" : message));
    }
    PrintResult({{"command", what}, {"file", name}, {"bytes", size}, {"message", message}},
                message);
    return kExitOk;
}

int Client::ConfigUpload(const CommandArgs& c) {
    const std::string body = ReadFile(c.positional[0]);
    const std::string name = BaseName(c.positional[0]);
    auto request = std::make_unique<ConfigurationUpdateMethod>();
    request->SetParams(NextRequestId(), name, static_cast<int>(body.size()), true);
    const uint64_t ticket = mSession.Send(std::move(request));
    if (ticket == 0) {
        return Fail(kExitConnection, "config-upload: " + mSession.LastError());
    }
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = SendBody(ticket, body, "config-upload", answer);
    if (code == kExitOk) {
        code = CheckFault(*answer, "config-upload");
    }
    if (code != kExitOk) {
        return code;
    }
    const auto* result = dynamic_cast<const ConfigurationUpdateResponseMethod*>(answer.get());
    const std::string message = result != nullptr ? result->GetMessage() : "";
    if (result == nullptr || !result->GetResult()) {
        return Fail(kExitRefused, "config-upload: " + (message.empty() ? "refused" : message));
    }
    PrintResult({{"command", "config-upload"}, {"file", name}, {"message", message}}, message);
    return kExitOk;
}

int Client::SendBody(uint64_t ticket, const std::string& body, const std::string& what,
                     std::unique_ptr<XmlRpcResponseMethod>& answer) {
    const bool progress = ::isatty(STDERR_FILENO) && !body.empty();
    const int timeoutMs = mOptions.timeoutSec * 1000;
    for (size_t sent = 0; sent < body.size();) {
        const size_t length = std::min(kChunkSize, body.size() - sent);
        if (!mSession.WriteRaw(body.substr(sent, length))) {
            return Fail(kExitConnection, what + ": " + mSession.LastError());
        }
        bool acked = false;
        Session::Status status = mSession.AwaitAck(ticket, acked, timeoutMs);
        if (status != Session::Status::kOk) {
            return WaitFailed(status, what);
        }
        if (!acked) {
            break;  // answered before the whole body: refused
        }
        sent += length;
        if (progress) {
            std::fprintf(stderr, "\r%s: %zu of %zu bytes (%zu%%)", what.c_str(), sent, body.size(),
                         sent * 100 / body.size());
        }
    }
    if (progress) {
        std::fputc('\n', stderr);
    }
    Session::Status status = mSession.Await(ticket, answer, timeoutMs);
    return status == Session::Status::kOk ? kExitOk : WaitFailed(status, what);
}

int Client::Wait(const CommandArgs& c) {
    return ServeEvents(c, nullptr);
}

// ---- waiting -------------------------------------------------------------------

int Client::Ask(std::unique_ptr<XmlRpcRequestMethod> request,
                std::unique_ptr<XmlRpcResponseMethod>& answer, const std::string& what) {
    const uint64_t ticket = mSession.Send(std::move(request));
    if (ticket == 0) {
        return Fail(kExitConnection, what + ": " + mSession.LastError());
    }
    Session::Status status = mSession.Await(ticket, answer, mOptions.timeoutSec * 1000);
    return status == Session::Status::kOk ? kExitOk : WaitFailed(status, what);
}

int Client::WaitFailed(Session::Status status, const std::string& what) {
    switch (status) {
        case Session::Status::kOk:
            return kExitOk;
        case Session::Status::kTimeout:
            return Fail(kExitConnection, what + ": no answer from the daemon within " +
                                             std::to_string(mOptions.timeoutSec) + " s");
        case Session::Status::kClosed:
            return Fail(kExitConnection,
                        what + ": the daemon closed the connection" + TlsHint(what));
        case Session::Status::kInterrupted:
            return Fail(kExitInterrupted, what + ": interrupted");
        case Session::Status::kBadAnswer:
            return Fail(kExitConnection, what + ": the daemon's answer cannot be read");
        case Session::Status::kError:
            break;
    }
    return Fail(kExitConnection,
                what + ": connection lost: " + mSession.LastError() + TlsHint(what));
}

std::string Client::TlsHint(const std::string& what) const {
    // A plain client on a TLS port sees its first request cut off.
    return what == "authentication" && !mOptions.tls ? " (if the daemon speaks TLS, add --tls)"
                                                     : "";
}

int Client::CheckFault(const XmlRpcResponseMethod& answer, const std::string& what) {
    if (!answer.IsFault()) {
        return kExitOk;
    }
    return Fail(kExitRefused, what + ": " + FaultText(answer));
}

int Client::AskAnswered(std::unique_ptr<XmlRpcRequestMethod> request,
                        std::unique_ptr<XmlRpcResponseMethod>& answer, const std::string& what) {
    const int code = Ask(std::move(request), answer, what);
    return code == kExitOk ? CheckFault(*answer, what) : code;
}

int Client::ServeEvents(const CommandArgs& c, const std::function<bool(const Event&)>& done) {
    const long long count = c.GetNumber("count", 0);
    const long long seconds = c.GetNumber("seconds", -1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const uint64_t start = mEvents;
    bool finished = false;
    mWatcher = [&](const Event& e) {
        if (done && done(e)) {
            finished = true;
        }
    };
    int code = kExitOk;
    while (!finished && !gStopRequested && (count == 0 || mEvents - start < uint64_t(count))) {
        int slice = kSliceMs;
        if (seconds >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            slice = static_cast<int>(std::min<long long>(left.count(), kSliceMs));
        }
        Session::Status status = mSession.Serve(slice);
        if (status == Session::Status::kTimeout || status == Session::Status::kInterrupted) {
            continue;
        }
        code = WaitFailed(status, c.name);
        break;
    }
    mWatcher = nullptr;
    return code;
}

std::unique_ptr<XmlRpcResponseMethod> Client::OnRequest(XmlRpcRequestMethod& request) {
    Event event = DescribeRequest(request);
    std::unique_ptr<XmlRpcResponseMethod> answer;
    if (request.IsMethod(kMethodProcess) || request.IsMethod(kMethodCallOriginated)) {
        AnswerPolicy policy = mPolicy;
        if (policy.kind == AnswerPolicy::kAsk) {
            policy = AskOnTerminal(event);
        }
        std::string decision;
        answer = BuildOfferAnswer(request, policy, mRoutingId, decision);
        event["answer"] = decision;
    }
    std::string line = EventLine(event, mOptions.json) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    ++mEvents;
    if (mWatcher) {
        mWatcher(event);
    }
    return answer;
}

AnswerPolicy Client::AskOnTerminal(const Event& offer) {
    AnswerPolicy policy = mPolicy;
    for (;;) {
        std::fprintf(stderr, "Call %s from %s to %s: accept, decline or redirect:TARGET? [accept] ",
                     offer.value("call", std::string()).c_str(),
                     offer.value("from", std::string()).c_str(),
                     offer.value("to", std::string()).c_str());
        std::fflush(stderr);
        std::string line;
        if (!std::getline(std::cin, line) || line.empty()) {
            policy.kind = AnswerPolicy::kAccept;
            return policy;
        }
        std::string error;
        if (ParseAnswer(line, policy, error)) {
            return policy;
        }
        std::fprintf(stderr, "%s\n", error.c_str());
    }
}

void Client::PrintResult(const Event& result, const std::string& text) {
    std::string line;
    if (mOptions.json) {
        if (result.is_null()) {
            return;
        }
        line = result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } else {
        line = text;
    }
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int Client::Fail(int code, const std::string& message) {
    ReportError(mOptions.json, code, message);
    return code;
}
