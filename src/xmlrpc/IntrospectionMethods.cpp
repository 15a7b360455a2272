#include "xmlrpc/IntrospectionMethods.h"

#include <cstring>

#include "xmlrpc/XmlRpcNames.h"

namespace {

using V = XmlRpcValue;

const int kIdTypes[] = {V::TypeString};
const XmlRpcParamLayout kIdOnly = {kIdTypes, 1, 1, 0};
const int kStatusTypes[] = {V::TypeString, V::TypeStruct};
const XmlRpcParamLayout kStatusLayout = {kStatusTypes, 2, 2, 0};
const XmlRpcParamLayout kNoParams = {nullptr, 0, 0, -1};
const int kNameTypes[] = {V::TypeString};
const XmlRpcParamLayout kNameLayout = {kNameTypes, 1, 1, -1};
const int kArrayTypes[] = {V::TypeArray};
const XmlRpcParamLayout kArrayLayout = {kArrayTypes, 1, 1, -1};
const XmlRpcParamLayout kStringLayout = {kNameTypes, 1, 1, -1};

XmlRpcResponseMethod* Answer(bool fault, int index, const XmlRpcParamLayout& layout) {
    if (fault) {
        return new FaultResponseMethod(index);
    }
    return new ValueResponseMethod(index, layout);
}

int Find(const std::string& name) {
    for (int i = 0; i < kMethodCount; ++i) {
        const char* entry = XmlRpcRequestMethod::Info(i).name;
        if (entry != nullptr && xmlrpc_names::Is(name, entry)) {
            return i;
        }
    }
    return -1;
}

}  // namespace

GetStatusMethod::GetStatusMethod() : XmlRpcRequestMethod(kMethodGetStatus, kIdOnly) {}

bool GetStatusMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

XmlRpcResponseMethod* GetStatusMethod::CreateResponse(bool fault) {
    return Answer(fault, kMethodGetStatus, kStatusLayout);
}

ListMethodsMethod::ListMethodsMethod() : XmlRpcRequestMethod(kMethodListMethods, kNoParams) {}

XmlRpcResponseMethod* ListMethodsMethod::CreateResponse(bool fault) {
    return Answer(fault, kMethodListMethods, kArrayLayout);
}

MethodNameQuery::MethodNameQuery(int index) : XmlRpcRequestMethod(index, kNameLayout) {}

std::string MethodNameQuery::GetName() const {
    const std::string* name = StringParam(0);
    return name != nullptr ? *name : std::string();
}

MethodSignatureMethod::MethodSignatureMethod() : MethodNameQuery(kMethodMethodSignature) {}

XmlRpcResponseMethod* MethodSignatureMethod::CreateResponse(bool fault) {
    return Answer(fault, kMethodMethodSignature, kArrayLayout);
}

MethodHelpMethod::MethodHelpMethod() : MethodNameQuery(kMethodMethodHelp) {}

XmlRpcResponseMethod* MethodHelpMethod::CreateResponse(bool fault) {
    return Answer(fault, kMethodMethodHelp, kStringLayout);
}

MulticallMethod::MulticallMethod() : XmlRpcRequestMethod(kMethodMulticall, kArrayLayout) {}

XmlRpcResponseMethod* MulticallMethod::CreateResponse(bool fault) {
    return Answer(fault, kMethodMulticall, kArrayLayout);
}

namespace introspection {

XmlRpcValueArray* ListMethods() {
    auto* out = new XmlRpcValueArray();
    for (int i = 0; i < kMethodCount; ++i) {
        const XmlRpcMethodInfo& info = XmlRpcRequestMethod::Info(i);
        if (info.name != nullptr && info.served) {
            out->Append(new XmlRpcValueString(info.name));
        }
    }
    return out;
}

XmlRpcValueArray* Signatures(const std::string& name) {
    const int index = Find(name);
    if (index < 0) {
        return nullptr;
    }
    const XmlRpcMethodInfo& info = XmlRpcRequestMethod::Info(index);
    std::unique_ptr<XmlRpcRequestMethod> sample(info.make());
    auto* out = new XmlRpcValueArray();
    // One signature per length the request may have: the required
    // parameters, then each optional one added in turn.
    for (int n = sample->GetRequiredCount(); n <= sample->GetParamCount(); ++n) {
        auto* signature = new XmlRpcValueArray();
        signature->Append(new XmlRpcValueString(info.returns));
        for (int i = 0; i < n; ++i) {
            signature->Append(
                new XmlRpcValueString(XmlRpcValue::_ValueTypes[sample->GetParamType(i)]));
        }
        out->Append(signature);
    }
    return out;
}

bool Help(const std::string& name, std::string& help) {
    const int index = Find(name);
    if (index < 0) {
        return false;
    }
    help = XmlRpcRequestMethod::Info(index).help;
    return true;
}

bool CallText(const XmlRpcValue& entry, std::string& text) {
    if (!entry.IsType(XmlRpcValueStruct::kType)) {
        return false;
    }
    const auto& call = static_cast<const XmlRpcValueStruct&>(entry);
    const XmlRpcValue* name = call.GetMemberValue("methodName");
    const XmlRpcValue* params = call.GetMemberValue("params");
    if (name == nullptr || !name->IsType(XmlRpcValueString::kType) ||
        (params != nullptr && !params->IsType(XmlRpcValueArray::kType))) {
        return false;
    }
    text = "<methodCall>\r\n<methodName>";
    AppendEscaped(text, static_cast<const XmlRpcValueString*>(name)->mstrValue);
    text += "</methodName>\r\n<params>\r\n";
    if (params != nullptr) {
        for (const auto& v : static_cast<const XmlRpcValueArray*>(params)->mvValues) {
            text += "<param>\r\n";
            if (!v->Build(text)) {
                return false;
            }
            text += "</param>\r\n";
        }
    }
    text += "</params>\r\n</methodCall>\r\n";
    return true;
}

bool ParseAnswer(const std::string& text, std::vector<std::unique_ptr<XmlRpcValue>>& values,
                 std::unique_ptr<XmlRpcValue>& fault) {
    XMLNavigator nav;
    nav.SetXMLSource(text.c_str(), text.size());
    if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kMethodResponse)) {
        return false;
    }
    std::string_view element;
    if (!nav.NextElement(&element)) {
        return false;
    }
    if (xmlrpc_names::Is(element, xmlrpc_names::kFault)) {
        fault.reset(XmlRpcValue::GetParamValue(nav));
        return fault && fault->Parse(nav);
    }
    if (!xmlrpc_names::Is(element, xmlrpc_names::kParams)) {
        return false;
    }
    while (xmlrpc_names::NextIs(nav, xmlrpc_names::kParam)) {
        std::unique_ptr<XmlRpcValue> v(XmlRpcValue::GetParamValue(nav));
        if (!v || !v->Parse(nav)) {
            return false;
        }
        values.push_back(std::move(v));
        nav.SkipElementEnd();
        nav.SkipElementEnd();
    }
    return true;
}

}  // namespace introspection
