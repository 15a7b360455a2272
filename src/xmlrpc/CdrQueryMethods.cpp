#include "xmlrpc/CdrQueryMethods.h"

#include <algorithm>
#include <cstdlib>

#include "base/NumberString.h"
#include "xmlrpc/XmlRpcMembers.h"

namespace {

using V = XmlRpcValue;
namespace m = xmlrpc_members;

const int kQueryTypes[] = {V::TypeString, V::TypeString, V::TypeInt};
const XmlRpcParamLayout kQueryLayout = {kQueryTypes, 3, 2, 0};
const int kAnswerTypes[] = {V::TypeString, V::TypeStruct, V::TypeArray};
const XmlRpcParamLayout kAnswerLayout = {kAnswerTypes, 3, 3, 0};

unsigned long long Number(const XmlRpcValueStruct& s, const char* name) {
    return m::Id(m::String(s, name));
}

}  // namespace

GetCdrsMethod::GetCdrsMethod() : XmlRpcRequestMethod(kMethodGetCdrs, kQueryLayout) {}

bool GetCdrsMethod::SetParams(const unsigned long long& id, unsigned long long since, int count) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = NumberToString(since);
    EnsureParam<XmlRpcValueInt>(2).mnValue = count;
    return true;
}

XmlRpcResponseMethod* GetCdrsMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new GetCdrsResponseMethod();
}

unsigned long long GetCdrsMethod::Since() const {
    const std::string* since = StringParam(1);
    return since != nullptr ? m::Id(*since) : 0;
}

int GetCdrsMethod::Count() const {
    const int* count = IntParam(2);
    return count == nullptr ? kMaxRecords : std::clamp(*count, 1, kMaxRecords);
}

GetCdrsResponseMethod::GetCdrsResponseMethod()
    : XmlRpcResponseMethod(kMethodGetCdrs, kAnswerLayout) {}

void GetCdrsResponseMethod::SetStatus(const CdrQueryStatus& status) {
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("State", new XmlRpcValueString(status.state));
    s->SetMemberValue("Error", new XmlRpcValueString(status.error));
    s->SetMemberValue("Last", new XmlRpcValueString(NumberToString(status.last)));
    s->SetMemberValue("Depth", new XmlRpcValueString(NumberToString(status.depth)));
    s->SetMemberValue("Dropped", new XmlRpcValueString(NumberToString(status.dropped)));
    s->SetMemberValue("Bytes", new XmlRpcValueString(NumberToString(status.bytes)));
    s->SetMemberValue("Oldest Age", new XmlRpcValueString(NumberToString(status.oldestAge)));
    SetParam(1, s);
    EnsureParam<XmlRpcValueArray>(2);
}

void GetCdrsResponseMethod::AddRecord(const CdrQueryRow& row) {
    auto* s = new XmlRpcValueStruct();
    s->SetMemberValue("Seq", new XmlRpcValueString(NumberToString(row.seq)));
    s->SetMemberValue("Arrived", new XmlRpcValueString(NumberToString(row.arrived)));
    s->SetMemberValue("Kind", new XmlRpcValueInt(row.kind));
    s->SetMemberValue("From", new XmlRpcValueString(row.cdr.callingUser));
    s->SetMemberValue("To", new XmlRpcValueString(row.cdr.calledUser));
    s->SetMemberValue("Start Time", new XmlRpcValueString(NumberToString(row.cdr.startTime)));
    s->SetMemberValue("Duration", new XmlRpcValueInt(row.cdr.duration));
    s->SetMemberValue("CallGUID", new XmlRpcValueString(row.cdr.callGuid));
    s->SetMemberValue("Details", new XmlRpcValueString(row.cdr.details));
    s->SetMemberValue("CIRCaller", new XmlRpcValueBool(row.cdr.cirCaller));
    EnsureParam<XmlRpcValueArray>(2).Append(s);
}

CdrQueryStatus GetCdrsResponseMethod::Status() const {
    CdrQueryStatus status;
    if (const XmlRpcValueStruct* s = StructParam(1)) {
        status.state = m::String(*s, "State");
        status.error = m::String(*s, "Error");
        status.last = Number(*s, "Last");
        status.depth = Number(*s, "Depth");
        status.dropped = Number(*s, "Dropped");
        status.bytes = Number(*s, "Bytes");
        status.oldestAge = static_cast<long long>(Number(*s, "Oldest Age"));
    }
    return status;
}

std::vector<CdrQueryRow> GetCdrsResponseMethod::Records() const {
    std::vector<CdrQueryRow> rows;
    const XmlRpcValueArray* records = ArrayParam(2);
    if (records == nullptr) {
        return rows;
    }
    for (const auto& v : records->mvValues) {
        if (!v->IsType(XmlRpcValue::TypeStruct)) {
            continue;
        }
        const auto& s = static_cast<const XmlRpcValueStruct&>(*v);
        CdrQueryRow row;
        row.seq = Number(s, "Seq");
        row.arrived = static_cast<long long>(Number(s, "Arrived"));
        row.kind = m::Int(s, "Kind", 0);
        row.cdr.callingUser = m::String(s, "From");
        row.cdr.calledUser = m::String(s, "To");
        row.cdr.startTime = std::strtoll(m::String(s, "Start Time").c_str(), nullptr, 10);
        row.cdr.duration = m::Int(s, "Duration", 0);
        row.cdr.callGuid = m::String(s, "CallGUID");
        row.cdr.details = m::String(s, "Details");
        row.cdr.cirCaller = m::Bool(s, "CIRCaller");
        rows.push_back(std::move(row));
    }
    return rows;
}
