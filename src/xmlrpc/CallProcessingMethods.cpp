#include "xmlrpc/CallProcessingMethods.h"

#include "xmlrpc/XmlRpcMembers.h"

namespace m = xmlrpc_members;

namespace {

using V = XmlRpcValue;

const int kIdTypes[] = {V::TypeString};
const XmlRpcParamLayout kIdOnly = {kIdTypes, 1, 1, 0};
const int kIdStringTypes[] = {V::TypeString, V::TypeString};
const XmlRpcParamLayout kIdString = {kIdStringTypes, 2, 2, 0};
const int kIdBoolTypes[] = {V::TypeString, V::TypeBool};
const XmlRpcParamLayout kIdBool = {kIdBoolTypes, 2, 2, 0};

const int kCreateTypes[] = {V::TypeString, V::TypeString, V::TypeString, V::TypeString};
const XmlRpcParamLayout kCreateLayout = {kCreateTypes, 4, 3, 0};
const int kPlayTypes[] = {V::TypeString, V::TypeString, V::TypeInt};
const XmlRpcParamLayout kPlayLayout = {kPlayTypes, 3, 2, 0};
const XmlRpcParamLayout kIncomingLayout = {kIdBoolTypes, 2, 2, -1};
const XmlRpcParamLayout kUserLayout = {kIdTypes, 1, 1, -1};
const XmlRpcParamLayout kAuthLayout = {kIdStringTypes, 2, 2, -1};
const int kSAuthTypes[] = {V::TypeString, V::TypeString, V::TypeString};
const XmlRpcParamLayout kSAuthLayout = {kSAuthTypes, 3, 3, -1};
const int kBoolStringTypes[] = {V::TypeBool, V::TypeString};
const XmlRpcParamLayout kBoolStringLayout = {kBoolStringTypes, 2, 2, -1};

}  // namespace

// ---- client requests -------------------------------------------------------

CreateCallMethod::CreateCallMethod() : XmlRpcRequestMethod(kMethodCreateCall, kCreateLayout) {}

bool CreateCallMethod::SetParams(const unsigned long long& id, const std::string& from,
                                 const CallParams& to, const std::string& displayName) {
    std::string toText;
    if (!CallParamsToString(to, toText)) {
        return false;
    }
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = from;
    EnsureParam<XmlRpcValueString>(2).mstrValue = toText;
    if (!displayName.empty()) {
        EnsureParam<XmlRpcValueString>(3).mstrValue = displayName;
    } else {
        SetParam(3, nullptr);
    }
    return true;
}

void CreateCallMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    CallParams to;
    if (!CallParamsFromString(*StringParam(2), to)) {
        return;
    }
    const std::string* name = StringParam(3);
    target.CreateCB(GetCallID(), *StringParam(1), to, name != nullptr ? *name : std::string());
}

CloseCallMethod::CloseCallMethod() : XmlRpcRequestMethod(kMethodCloseCall, kIdOnly) {}

bool CloseCallMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

void CloseCallMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.CloseCB(GetCallID());
    }
}

TransferCallMethod::TransferCallMethod() : XmlRpcRequestMethod(kMethodTransferCall, kIdString) {}

bool TransferCallMethod::SetParams(const unsigned long long& id, const CallParams& to) {
    std::string text;
    if (!CallParamsToString(to, text)) {
        return false;
    }
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = text;
    return true;
}

void TransferCallMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    CallParams to;
    if (CallParamsFromString(*StringParam(1), to)) {
        target.TransferCB(GetCallID(), to);
    }
}

JoinCallsMethod::JoinCallsMethod() : XmlRpcRequestMethod(kMethodJoinCalls, kIdString) {}

bool JoinCallsMethod::SetParams(const unsigned long long& id, const unsigned long long& otherId) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = NumberToString(otherId);
    return true;
}

void JoinCallsMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.JoinCB(GetCallID(), m::Id(*StringParam(1)));
    }
}

UnjoinCallsMethod::UnjoinCallsMethod() : XmlRpcRequestMethod(kMethodUnjoinCalls, kIdString) {}

bool UnjoinCallsMethod::SetParams(const unsigned long long& id, const unsigned long long& otherId) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = NumberToString(otherId);
    return true;
}

void UnjoinCallsMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.UnjoinCB(GetCallID(), m::Id(*StringParam(1)));
    }
}

PlayMessageMethod::PlayMessageMethod() : XmlRpcRequestMethod(kMethodPlayMessage, kPlayLayout) {}

bool PlayMessageMethod::SetParams(const unsigned long long& id, const std::string& file) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = file;
    SetParam(2, nullptr);
    return true;
}

bool PlayMessageMethod::SetParams(const unsigned long long& id, const std::string& file,
                                  int count) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = file;
    EnsureParam<XmlRpcValueInt>(2).mnValue = count;
    return true;
}

void PlayMessageMethod::Execute(IRpcCallback& target) {
    if (!HasRequiredParams()) {
        return;
    }
    const int* count = IntParam(2);
    target.PlayMessageCB(GetCallID(), *StringParam(1), count != nullptr ? *count : -1);
}

InjectDTMFMethod::InjectDTMFMethod() : XmlRpcRequestMethod(kMethodInjectDTMF, kIdString) {}

bool InjectDTMFMethod::SetParams(const unsigned long long& id, const std::string& keys) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = keys;
    return true;
}

void InjectDTMFMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.InjectDTMFCB(GetCallID(), *StringParam(1));
    }
}

EnableDtmfDetectionMethod::EnableDtmfDetectionMethod()
    : XmlRpcRequestMethod(kMethodEnableDtmfDetection, kIdBool) {}

bool EnableDtmfDetectionMethod::SetParams(const unsigned long long& id, bool enable) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueBool>(1).mbValue = enable;
    return true;
}

void EnableDtmfDetectionMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.EnableDtmfDetectionCB(GetCallID(), *BoolParam(1) ? 1 : 0);
    }
}

IncomingCallHandlingMethod::IncomingCallHandlingMethod()
    : XmlRpcRequestMethod(kMethodIncomingCallHandling, kIncomingLayout) {}

bool IncomingCallHandlingMethod::SetParams(const std::string& ext, bool enable) {
    EnsureParam<XmlRpcValueString>(0).mstrValue = ext;
    EnsureParam<XmlRpcValueBool>(1).mbValue = enable;
    return true;
}

void IncomingCallHandlingMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.IncomingCallHandlingCB(*StringParam(0), *BoolParam(1) ? 1 : 0);
    }
}

GetExtensionMethod::GetExtensionMethod() : XmlRpcRequestMethod(kMethodGetExtension, kUserLayout) {}

bool GetExtensionMethod::SetParams(const std::string& user) {
    EnsureParam<XmlRpcValueString>(0).mstrValue = user;
    return true;
}

void GetExtensionMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.GetExtensionCB(*StringParam(0));
    }
}

XmlRpcResponseMethod* GetExtensionMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new GetExtensionResponseMethod();
}

AuthenticateMethod::AuthenticateMethod() : XmlRpcRequestMethod(kMethodAuthenticate, kAuthLayout) {}

bool AuthenticateMethod::SetParams(const std::string& user, const std::string& password) {
    EnsureParam<XmlRpcValueString>(0).mstrValue = user;
    EnsureParam<XmlRpcValueString>(1).mstrValue = password;
    return true;
}

void AuthenticateMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.AuthenticateCB(*StringParam(0), *StringParam(1));
    }
}

XmlRpcResponseMethod* AuthenticateMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new AuthenticateResponseMethod();
}

SAuthenticateMethod::SAuthenticateMethod()
    : XmlRpcRequestMethod(kMethodSAuthenticate, kSAuthLayout) {}

bool SAuthenticateMethod::SetParams(const std::string& user, const std::string& timeStamp,
                                    const std::string& digest) {
    EnsureParam<XmlRpcValueString>(0).mstrValue = user;
    EnsureParam<XmlRpcValueString>(1).mstrValue = timeStamp;
    EnsureParam<XmlRpcValueString>(2).mstrValue = digest;
    return true;
}

void SAuthenticateMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.SecureAuthenticateCB(*StringParam(0), *StringParam(1), *StringParam(2));
    }
}

XmlRpcResponseMethod* SAuthenticateMethod::CreateResponse(bool fault) {
    // Both authentication requests are answered by the same response class.
    return fault ? CreateFault() : new AuthenticateResponseMethod();
}

// ---- answers to lookup and authentication ----------------------------------

GetExtensionResponseMethod::GetExtensionResponseMethod()
    : XmlRpcResponseMethod(kMethodGetExtension, kBoolStringLayout) {}

bool GetExtensionResponseMethod::SetParams(bool found, const std::string& text) {
    EnsureParam<XmlRpcValueBool>(0).mbValue = found;
    EnsureParam<XmlRpcValueString>(1).mstrValue = text;
    return true;
}

void GetExtensionResponseMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.GetExtensionResponseCB(*BoolParam(0), *StringParam(1));
    }
}

AuthenticateResponseMethod::AuthenticateResponseMethod()
    : XmlRpcResponseMethod(kMethodAuthenticate, kBoolStringLayout) {}

bool AuthenticateResponseMethod::SetParams(bool accepted, const std::string& text) {
    EnsureParam<XmlRpcValueBool>(0).mbValue = accepted;
    EnsureParam<XmlRpcValueString>(1).mstrValue = text;
    return true;
}

bool AuthenticateResponseMethod::IsAccepted() const {
    const bool* b = BoolParam(0);
    return b != nullptr && *b;
}

std::string AuthenticateResponseMethod::GetText() const {
    const std::string* s = StringParam(1);
    return s != nullptr ? *s : std::string();
}
