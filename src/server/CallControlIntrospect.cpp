// The administrator's status request and the introspection methods of a
// connection, and the counting of every client request by method and
// outcome. Connection thread, inside the dispatch (mServMutex held).
#include <memory>
#include <string>
#include <vector>

#include "base/Metrics.h"
#include "config/AccountRights.h"
#include "core/ExtCallControl.h"
#include "server/CallControlService.h"
#include "server/ServerMetrics.h"
#include "xmlrpc/IntrospectionMethods.h"

namespace {

using TR = ExtCallControl;

const int kFaultUnknownMethod = 1;
const int kFaultNotPermitted = 3;
const int kFaultNotInMulticall = 5;
// Calls one multicall may carry: their answers are built in memory at once.
const size_t kMaxMulticallCalls = 256;

XmlRpcValueStruct* FaultValue(int code, const std::string& text) {
    auto* fault = new XmlRpcValueStruct();
    fault->SetMemberValue("faultCode", new XmlRpcValueInt(code));
    fault->SetMemberValue("faultString", new XmlRpcValueString(text));
    return fault;
}

// Requests whose answer does not follow at once on this thread: they are
// refused inside a multicall.
bool AnswersLater(int index) {
    return index == kMethodMulticall || index == kMethodSubscribe ||
           index == kMethodBeginFileTransfer || index == kMethodConfigurationUpdate;
}

void SetMember(XmlRpcValueStruct& s, const char* name, XmlRpcValue* value) {
    s.mvMembers.emplace_back(name, std::unique_ptr<XmlRpcValue>(value));
}

const char* StateName(int state) {
    switch (state) {
        case server_metrics::kHandshaking:
            return "handshaking";
        case server_metrics::kAuthenticated:
            return "authenticated";
        default:
            return "unauthenticated";
    }
}

}  // namespace

CallControlService::Dispatching*& CallControlService::CurrentDispatch() {
    static thread_local Dispatching* current = nullptr;
    return current;
}

void CallControlService::NoteRefused() {
    if (Dispatching* d = CurrentDispatch()) {
        d->outcome = server_metrics::kRefused;
    }
}

bool CallControlService::DispatchCounted(XmlRpcRequestMethod* m) {
    const int index = m->GetMethodIndex();
    Dispatching context{this, server_metrics::kAnswered, nullptr};
    Dispatching* const outer = CurrentDispatch();
    CurrentDispatch() = &context;
    const bool result = ProcessXmlRpcRequest(m);
    CurrentDispatch() = outer;
    server_metrics::CountRequest(index, static_cast<server_metrics::Outcome>(context.outcome));
    return result;
}

void CallControlService::ProcessIntrospection(XmlRpcRequestMethod& m) {
    const int index = m.GetMethodIndex();
    if (index == kMethodMulticall) {
        ProcessMulticall(m);
        return;
    }
    const auto SendFault = [this](XmlRpcRequestMethod& request, int code, const std::string& text) {
        std::unique_ptr<XmlRpcResponseMethod> f(request.CreateResponse(true));
        static_cast<FaultResponseMethod*>(f.get())->SetParams(code, text);
        BuildAndSendXml(f.get());
    };
    std::unique_ptr<XmlRpcResponseMethod> r(m.CreateResponse(false));
    auto* answer = static_cast<ValueResponseMethod*>(r.get());
    switch (index) {
        case kMethodGetStatus: {
            if (!mbAuthorised || !IsAdminAccount(mAccount)) {
                Refuse(m, kFaultNotPermitted, "Not permitted: the administrator only");
                return;
            }
            answer->SetParams(m.GetCallID());
            auto* status = new XmlRpcValueStruct();
            answer->SetValue(1, status);
            FillStatus(*status, ExtCallControl::GetMonotonicTime());
            break;
        }
        case kMethodListMethods:
            answer->SetValue(0, introspection::ListMethods());
            break;
        case kMethodMethodSignature: {
            const std::string name = static_cast<MethodSignatureMethod&>(m).GetName();
            XmlRpcValueArray* signatures = introspection::Signatures(name);
            if (signatures == nullptr) {
                SendFault(m, kFaultUnknownMethod, "No such method: " + name);
                return;
            }
            answer->SetValue(0, signatures);
            break;
        }
        case kMethodMethodHelp: {
            const std::string name = static_cast<MethodHelpMethod&>(m).GetName();
            std::string help;
            if (!introspection::Help(name, help)) {
                SendFault(m, kFaultUnknownMethod, "No such method: " + name);
                return;
            }
            answer->SetValue(0, new XmlRpcValueString(help));
            break;
        }
        default:
            return;
    }
    TR::TRACEX("CCS: ProcessXmlRpcRequest. Sending response...\n");
    BuildAndSendXml(r.get());
}

void CallControlService::ProcessMulticall(XmlRpcRequestMethod& m) {
    const XmlRpcValueArray* calls = static_cast<MulticallMethod&>(m).GetCalls();
    if (calls->mvValues.size() > kMaxMulticallCalls) {
        std::unique_ptr<XmlRpcResponseMethod> f(m.CreateResponse(true));
        static_cast<FaultResponseMethod*>(f.get())->SetParams(
            kFaultNotInMulticall, "More than 256 calls in system.multicall");
        BuildAndSendXml(f.get());
        return;
    }
    auto results = std::make_unique<XmlRpcValueArray>();
    for (const auto& entry : calls->mvValues) {
        std::string text;
        XmlRpcRequestMethod* inner = nullptr;
        if (introspection::CallText(*entry, text)) {
            inner = XmlRpcRequestMethod::CreateFromXML(text.c_str());
        }
        if (inner == nullptr || inner == XmlRpcRequestMethod::_UnknownMethod) {
            server_metrics::CountRequest(-1, server_metrics::kFault);
            results->Append(FaultValue(kFaultUnknownMethod, "Unknown XML RPC method"));
            continue;
        }
        const int index = inner->GetMethodIndex();
        if (AnswersLater(index)) {
            delete inner;
            server_metrics::CountRequest(index, server_metrics::kRefused);
            results->Append(FaultValue(kFaultNotInMulticall, "Not allowed in system.multicall"));
            continue;
        }
        // Carried out as if sent alone; its answers are kept instead of sent.
        std::vector<std::string> answers;
        Dispatching context{this, server_metrics::kAnswered, &answers};
        Dispatching* const outer = CurrentDispatch();
        CurrentDispatch() = &context;
        ProcessXmlRpcRequest(inner);
        CurrentDispatch() = outer;
        server_metrics::CountRequest(index, static_cast<server_metrics::Outcome>(context.outcome));
        std::vector<std::unique_ptr<XmlRpcValue>> values;
        std::unique_ptr<XmlRpcValue> fault;
        if (answers.empty() || !introspection::ParseAnswer(answers.front(), values, fault)) {
            results->Append(FaultValue(kFaultUnknownMethod, "No answer"));
        } else if (fault) {
            results->Append(fault.release());
        } else {
            auto* list = new XmlRpcValueArray();
            for (auto& v : values) {
                list->Append(v.release());
            }
            results->Append(list);
        }
    }
    std::unique_ptr<XmlRpcResponseMethod> r(m.CreateResponse(false));
    static_cast<ValueResponseMethod*>(r.get())->SetValue(0, results.release());
    TR::TRACEX("CCS: ProcessXmlRpcRequest. Sending multicall response...\n");
    BuildAndSendXml(r.get());
}

void CallControlService::FillStatus(XmlRpcValueStruct& out, unsigned long now) {
    mServMutex.AssertHeld("FillStatus");
    auto* connections = new XmlRpcValueArray();
    for (CallControlService* c : mlistServicesInProgress) {
        auto* s = new XmlRpcValueStruct();
        size_t calls = 0;
        {
            ThreadMutexLock lock(c->mMutex);
            calls = c->mlistCalls.size();
        }
        SetMember(*s, "serial", new XmlRpcValueInt(static_cast<int>(c->mnSerial)));
        SetMember(*s, "peer", new XmlRpcValueString(c->mPeerAddress));
        SetMember(*s, "account", new XmlRpcValueString(c->mAccount));
        SetMember(*s, "tls", new XmlRpcValueBool(c->mbMetricTls));
        SetMember(*s, "state", new XmlRpcValueString(StateName(c->mnMetricState)));
        SetMember(*s, "authenticated", new XmlRpcValueBool(c->mbAuthorised));
        SetMember(*s, "age", new XmlRpcValueInt(static_cast<int>(now - c->mnAcceptTime)));
        SetMember(*s, "idle", new XmlRpcValueInt(static_cast<int>(now - c->mnLastActivity)));
        SetMember(*s, "calls", new XmlRpcValueInt(static_cast<int>(calls)));
        SetMember(*s, "subscriptions",
                  new XmlRpcValueInt(static_cast<int>(c->SubscriptionCount())));
        SetMember(*s, "queued", new XmlRpcValueInt(static_cast<int>(c->QueuedRequests())));
        SetMember(*s, "awaiting", new XmlRpcValueInt(static_cast<int>(c->AwaitingAnswers())));
        SetMember(*s, "pending_output",
                  new XmlRpcValueInt(static_cast<int>(c->mChannel.PendingBytes())));
        connections->Append(s);
    }
    SetMember(out, "connections", connections);
    auto* requests = new XmlRpcValueArray();
    for (const PendingDecision& d : ExtCallControl::Policy().Pending()) {
        auto* s = new XmlRpcValueStruct();
        SetMember(*s, "call", new XmlRpcValueString(std::to_string(d.callId)));
        SetMember(*s, "state", new XmlRpcValueString(d.state));
        SetMember(*s, "waited", new XmlRpcValueInt(static_cast<int>(d.waitedSeconds)));
        requests->Append(s);
    }
    SetMember(out, "policy_requests", requests);
    auto* counters = new XmlRpcValueStruct();
    double policyPending = 0;
    for (const metrics::Registry::Sample& sample : metrics::Registry::Instance().Samples()) {
        if (sample.name == "valtd_policy_pending") {
            policyPending += sample.value;
        }
        if (sample.value == 0 && !sample.labels.empty()) {
            continue;  // a labelled series at zero says nothing here
        }
        std::string key = sample.name;
        if (!sample.labels.empty()) {
            key += "{" + sample.labels + "}";
        }
        SetMember(*counters, key.c_str(), new XmlRpcValueDouble(sample.value));
    }
    SetMember(out, "policy_pending", new XmlRpcValueInt(static_cast<int>(policyPending)));
    SetMember(out, "counters", counters);
}
