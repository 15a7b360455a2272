#include "xmlrpc/XmlRpcMethod.h"

#include <strings.h>
#include <cstring>

#include "base/NumberString.h"
#include "xmlrpc/SipAddress.h"
#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcNames.h"

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\"?>\r\n";

const int kPlainTypes[] = {XmlRpcValue::TypeString};
const XmlRpcParamLayout kPlainLayout = {kPlainTypes, 1, 1, 0};

bool StartsWithNoCase(const std::string& text, const char* prefix, size_t n) {
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

}  // namespace

const char* const XmlRpcMethod::_MethodCall = "methodCall";
const char* const XmlRpcMethod::_MethodResponse = "methodResponse";
const char* const XmlRpcMethod::_MethodName = "methodName";
const char* const XmlRpcMethod::_Params = "params";
const char* const XmlRpcMethod::_Param = "param";
const char* const XmlRpcMethod::_TagEnd = ">";
const char* const XmlRpcMethod::_StartTagStart = "<";
const char* const XmlRpcMethod::_EndTagStart = "</";
const char* const XmlRpcResponseMethod::_Fault = "fault";

XmlRpcMethod::XmlRpcMethod(int kind, int methodIndex, const XmlRpcParamLayout& layout)
    : mnKind(kind), mnMethodIndex(methodIndex), mpLayout(&layout), mvParams(layout.count) {}

bool XmlRpcMethod::BuildXML(std::string& out) {
    // Room for a typical message at once; longer ones grow by doubling.
    out.reserve(out.size() + 1024);
    out.append(kDeclaration, sizeof kDeclaration - 1);
    return true;
}

unsigned long long XmlRpcMethod::GetCallID() const {
    const XmlRpcValue* v = mpFirstParam.get();
    if (v == nullptr || !v->IsType(XmlRpcValue::TypeString)) {
        return 0;
    }
    return StringToNumber<unsigned long long>(static_cast<const XmlRpcValueString*>(v)->mstrValue);
}

XmlRpcValue* XmlRpcMethod::Param(int pos) const {
    if (pos < 0 || pos >= mpLayout->count) {
        return nullptr;
    }
    return pos == mpLayout->idPos ? mpFirstParam.get() : mvParams[pos].get();
}

const XmlRpcValue* XmlRpcMethod::GetParam(int pos) const {
    return Param(pos);
}

void XmlRpcMethod::SetParam(int pos, XmlRpcValue* value) {
    std::unique_ptr<XmlRpcValue> owned(value);
    if (pos < 0 || pos >= mpLayout->count) {
        return;
    }
    if (pos == mpLayout->idPos) {
        mpFirstParam = std::move(owned);
    } else {
        mvParams[pos] = std::move(owned);
    }
}

const std::string* XmlRpcMethod::StringParam(int pos) const {
    XmlRpcValueString* v = ParamAs<XmlRpcValueString>(pos);
    return v != nullptr ? &v->mstrValue : nullptr;
}

const int* XmlRpcMethod::IntParam(int pos) const {
    XmlRpcValueInt* v = ParamAs<XmlRpcValueInt>(pos);
    return v != nullptr ? &v->mnValue : nullptr;
}

const bool* XmlRpcMethod::BoolParam(int pos) const {
    XmlRpcValueBool* v = ParamAs<XmlRpcValueBool>(pos);
    return v != nullptr ? &v->mbValue : nullptr;
}

XmlRpcValueStruct* XmlRpcMethod::StructParam(int pos) const {
    return ParamAs<XmlRpcValueStruct>(pos);
}

XmlRpcValueArray* XmlRpcMethod::ArrayParam(int pos) const {
    return ParamAs<XmlRpcValueArray>(pos);
}

void XmlRpcMethod::SetIdParam(const unsigned long long& id) {
    if (mpLayout->idPos >= 0) {
        EnsureParam<XmlRpcValueString>(mpLayout->idPos).mstrValue = NumberToString(id);
    }
}

bool XmlRpcMethod::HasRequiredParams() const {
    for (int i = 0; i < mpLayout->required; ++i) {
        const XmlRpcValue* v = Param(i);
        if (v == nullptr || !v->IsType(mpLayout->types[i])) {
            return false;
        }
    }
    return true;
}

bool XmlRpcMethod::BuildParams(std::string& out) const {
    if (!HasRequiredParams()) {
        return false;
    }
    const size_t mark = out.size();
    out.append("<params>\r\n");
    for (int i = 0; i < mpLayout->count; ++i) {
        const XmlRpcValue* v = Param(i);
        if (v == nullptr) {
            break;  // the optional tail ends at its first missing parameter
        }
        out.append("<param>\r\n");
        if (!v->Build(out)) {
            out.resize(mark);
            return false;
        }
        out.append("</param>\r\n");
    }
    out.append("</params>\r\n");
    return true;
}

bool XmlRpcMethod::ParseParams(XMLNavigator& nav, bool checkEnd) {
    for (int i = 0; i < mpLayout->count; ++i) {
        if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kParam)) {
            if (i < mpLayout->required) {
                return false;
            }
            break;
        }
        std::unique_ptr<XmlRpcValue> v(XmlRpcValue::GetParamValue(nav));
        if (!v || !v->IsType(mpLayout->types[i]) || !v->Parse(nav)) {
            return false;
        }
        SetParam(i, v.release());
        nav.SkipElementEnd();
        nav.SkipElementEnd();
    }
    if (checkEnd && nav.NextElement(nullptr)) {
        return false;
    }
    return true;
}

bool XmlRpcMethod::CheckNextElem(XMLNavigator& nav, const char* name) {
    return XmlRpcValue::CheckNextElem(nav, name);
}

bool XmlRpcMethod::CallParamsFromString(const std::string& text, CallParams& party) {
    if (text.empty()) {
        return false;
    }
    unsigned int kind;
    if (StartsWithNoCase(text, "tel:", 4)) {
        party.user = text.substr(4);
        kind = ExtCallType_TEL;
    } else if (StartsWithNoCase(text, "pbx:", 4)) {
        party.user = text.substr(4);
        kind = ExtCallType_PBX;
    } else if (StartsWithNoCase(text, "pstn:", 5)) {
        party.user = text.substr(5);
        kind = ExtCallType_PSTN;
    } else if (StartsWithNoCase(text, "ar:", 3)) {
        party.user = text.substr(3);
        kind = ExtCallType_AR;
    } else if (StartsWithNoCase(text, "vm:", 3)) {
        std::string rest = text.substr(3);
        size_t semi = rest.find(';');
        if (semi == std::string::npos) {
            party.user = rest;
        } else {
            party.user = rest.substr(0, semi);
            party.userSuffix = rest.substr(semi + 1);
        }
        kind = ExtCallType_VM;
    } else if (text.find("sip:") != std::string::npos) {
        if (!ParseSIPAddressEx(text, party.sipName, party.user, party.host, party.port)) {
            return false;
        }
        kind = ExtCallType_SIP;
    } else {
        party.user = text;
        kind = ExtCallType_TEL;
    }
    party.type |= kind;
    return true;
}

bool XmlRpcMethod::CallParamsToString(const CallParams& party, std::string& text) {
    text.clear();
    switch (party.type & ~kCallParamsMsgTakerBit) {
        case ExtCallType_SIP:
            return MergeSIPAddressEx(text, party.sipName, party.user, party.host, party.port);
        case ExtCallType_PSTN:
            text = "pstn:" + party.user;
            break;
        case ExtCallType_TEL:
            text = "tel:" + party.user;
            break;
        case ExtCallType_AR:
            text = "ar:" + party.user;
            break;
        case ExtCallType_VM:
            text = "vm:" + party.user;
            if (!party.userSuffix.empty()) {
                text += ";" + party.userSuffix;
            }
            break;
        default:
            text = "pbx:" + party.user;
    }
    return true;
}

bool XmlRpcRequestMethod::BuildXML(std::string& out) {
    const size_t mark = out.size();
    XmlRpcMethod::BuildXML(out);
    out.append("<methodCall>\r\n<methodName>");
    out.append(_Methods[mnMethodIndex]);
    out.append("</methodName>\r\n");
    if (!BuildParams(out)) {
        out.resize(mark);
        return false;
    }
    out.append("</methodCall>\r\n\r\n");
    return true;
}

bool XmlRpcRequestMethod::Parse(XMLNavigator& nav) {
    return ParseParams(nav, true);
}

XmlRpcResponseMethod* XmlRpcRequestMethod::CreateFault() {
    return new FaultResponseMethod(mnMethodIndex);
}

XmlRpcResponseMethod* XmlRpcRequestMethod::CreateResponseFromXML(const char* text) {
    std::unique_ptr<XmlRpcResponseMethod> r(CreateResponse(false));
    if (r && r->Parse(text)) {
        return r.release();
    }
    std::unique_ptr<XmlRpcResponseMethod> f(CreateResponse(true));
    if (f && f->Parse(text)) {
        return f.release();
    }
    return nullptr;
}

XmlRpcResponseMethod::XmlRpcResponseMethod(int methodIndex)
    : XmlRpcMethod(KindResponse, methodIndex, kPlainLayout), mbFault(false) {}

bool XmlRpcResponseMethod::BuildXML(std::string& out) {
    const size_t mark = out.size();
    XmlRpcMethod::BuildXML(out);
    out.append("<methodResponse>\r\n");
    if (!BuildParams(out)) {
        out.resize(mark);
        return false;
    }
    out.append("</methodResponse>\r\n\r\n");
    return true;
}

bool XmlRpcResponseMethod::SetParams(const unsigned long long& id) {
    EnsureParam<XmlRpcValueString>(0).mstrValue = NumberToString(id);
    return true;
}

bool XmlRpcResponseMethod::Parse(XMLNavigator& nav) {
    return ParseParams(nav, false);
}

bool XmlRpcResponseMethod::ParseFault(XMLNavigator& nav) {
    (void)nav;
    return false;
}

bool XmlRpcResponseMethod::Parse(const char* text) {
    if (text == nullptr) {
        return false;
    }
    XMLNavigator nav;
    nav.SetXMLSource(text, std::strlen(text));
    if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kMethodResponse)) {
        return false;
    }
    std::string_view name;
    if (!nav.NextElement(&name)) {
        return false;
    }
    bool ok = false;
    if (xmlrpc_names::Is(name, xmlrpc_names::kParams)) {
        ok = Parse(nav);
    } else if (xmlrpc_names::Is(name, xmlrpc_names::kFault)) {
        ok = ParseFault(nav);
    }
    if (nav.DepthExceeded()) {
        XmlRpcTrace("XmlRpc: response nested deeper than %d elements, refused\n", kMaxXmlDepth);
        return false;
    }
    // A text that ran out before the parameters were closed is truncated.
    return ok && !nav.IsExhausted();
}

FaultResponseMethod::FaultResponseMethod(int methodIndex)
    : XmlRpcResponseMethod(methodIndex, kPlainLayout, true) {}

bool FaultResponseMethod::SetParams(int code, const std::string& text) {
    if (!mpFault) {
        mpFault.reset(new XmlRpcValueStruct());
    }
    mpFault->SetMemberValue("faultCode", new XmlRpcValueInt(code));
    mpFault->SetMemberValue("faultString", new XmlRpcValueString(text));
    return true;
}

bool FaultResponseMethod::BuildXML(std::string& out) {
    if (!mpFault) {
        return false;
    }
    const size_t mark = out.size();
    XmlRpcMethod::BuildXML(out);
    out.append("<methodResponse>\r\n<fault>\r\n");
    if (!mpFault->Build(out)) {
        out.resize(mark);
        return false;
    }
    out.append("</fault>\r\n</methodResponse>\r\n\r\n");
    return true;
}

bool FaultResponseMethod::ParseFault(XMLNavigator& nav) {
    std::unique_ptr<XmlRpcValue> v(XmlRpcValue::GetParamValue(nav));
    if (!v || !v->IsType(XmlRpcValue::TypeStruct) || !v->Parse(nav)) {
        return false;
    }
    mpFault.reset(static_cast<XmlRpcValueStruct*>(v.release()));
    nav.SkipElementEnd();
    nav.SkipElementEnd();
    return true;
}

void FaultResponseMethod::Execute(IRpcCallback& target) {
    if (!mpFault) {
        return;
    }
    const XmlRpcValue* code = mpFault->GetMemberValue("faultCode");
    if (code == nullptr || !code->IsType(XmlRpcValue::TypeInt)) {
        return;
    }
    const XmlRpcValue* text = mpFault->GetMemberValue("faultString");
    std::string message;
    if (text != nullptr && text->IsType(XmlRpcValue::TypeString)) {
        message = static_cast<const XmlRpcValueString*>(text)->mstrValue;
    }
    target.FaultCB(GetCallID(), static_cast<const XmlRpcValueInt*>(code)->mnValue, message);
}
