// The method table and the factory that turns a received request text into
// its request object.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/CdrQueryMethods.h"
#include "xmlrpc/SubscriptionMethods.h"
#include "xmlrpc/SystemMethods.h"
#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"
#include "xmlrpc/XmlRpcNames.h"

const char* const XmlRpcRequestMethod::_Methods[kMethodCount] = {
    "Services.CallProcessingService.createcall",
    "Services.CallProcessingService.closecall",
    "Services.CallProcessingService.transfercall",
    "Services.CallProcessingService.joincalls",
    "Services.CallProcessingService.unjoincalls",
    "Services.CallProcessingService.callstatechanged",
    "Services.CallProcessingService.playmessage",
    "Services.CallProcessingService.messageplayed",
    "Services.CallProcessingService.injectdtmf",
    "Services.CallProcessingService.dtmfinjected",
    "Services.CallProcessingService.enabledtmfdetection",
    "Services.CallProcessingService.dtmfdigitdetected",
    "Services.CallProcessingService.incomingcallhandling",
    "Services.CallProcessingService.process",
    "Services.CallProcessingService.authenticate",
    "Services.CallProcessingService.sauthenticate",
    "Services.CallProcessingService.subscribe",
    "Services.CallProcessingService.unsubscribe",
    "Services.CallProcessingService.mailarrived",
    "Services.CallProcessingService.cdrarrived",
    "Services.CallProcessingService.dlgarrived",
    "Services.CallProcessingService.prsarrived",
    "Services.CallProcessingService.getextension",
    "Services.SystemService.getsysteminfo",
    "Services.SystemService.getwavfileslist",
    "Services.SystemService.beginfiletransfer",
    "Services.SystemService.deletefile",
    "Services.CallProcessingService.calloriginated",
    "Services.CallProcessingService.extlistarrived",
    "Services.SystemService.configurationupdate",
    "Services.SystemService.reloadsettings",
    "Services.SystemService.getcdrs",
};

XmlRpcRequestMethod* const XmlRpcRequestMethod::_UnknownMethod =
    reinterpret_cast<XmlRpcRequestMethod*>(~static_cast<uintptr_t>(0));

XmlRpcResponseMethod* XmlRpcRequestMethod::CreateResponse(bool fault) {
    if (fault) {
        return CreateFault();
    }
    return new XmlRpcResponseMethod(mnMethodIndex);
}

namespace {

XmlRpcRequestMethod* NewRequest(int index) {
    switch (index) {
        case kMethodCreateCall:
            return new CreateCallMethod();
        case kMethodCloseCall:
            return new CloseCallMethod();
        case kMethodTransferCall:
            return new TransferCallMethod();
        case kMethodJoinCalls:
            return new JoinCallsMethod();
        case kMethodUnjoinCalls:
            return new UnjoinCallsMethod();
        case kMethodCallStateChanged:
            return new CallStateChangedMethod();
        case kMethodPlayMessage:
            return new PlayMessageMethod();
        case kMethodMessagePlayed:
            return new MessagePlayedMethod();
        case kMethodInjectDTMF:
            return new InjectDTMFMethod();
        case kMethodDTMFInjected:
            return new DTMFInjectedMethod();
        case kMethodEnableDtmfDetection:
            return new EnableDtmfDetectionMethod();
        case kMethodDtmfDigitDetected:
            return new DtmfDigitReceivedMethod();
        case kMethodIncomingCallHandling:
            return new IncomingCallHandlingMethod();
        case kMethodProcess:
            return new CallArrivedMethod();
        case kMethodAuthenticate:
            return new AuthenticateMethod();
        case kMethodSAuthenticate:
            return new SAuthenticateMethod();
        case kMethodSubscribe:
            return new SubscribeMethod();
        case kMethodUnsubscribe:
            return new UnsubscribeMethod();
        case kMethodMailArrived:
            return new MailArrivedMethod();
        case kMethodCDRArrived:
            return new CDRArrivedMethod();
        case kMethodDlgArrived:
            return new DialogArrivedMethod();
        case kMethodPrsArrived:
            return new PresenceArrivedMethod();
        case kMethodGetExtension:
            return new GetExtensionMethod();
        case kMethodGetSystemInfo:
            return new GetSystemInfoMethod();
        case kMethodGetWAVFilesList:
            return new GetWAVFilesMethod();
        case kMethodBeginFileTransfer:
            return new FileTransferMethod();
        case kMethodDeleteFile:
            return new FileDeleteMethod();
        case kMethodCallOriginated:
            return new CallOriginatedMethod();
        case kMethodExtListArrived:
            return new ExtListArrivedMethod();
        case kMethodConfigurationUpdate:
            return new ConfigurationUpdateMethod();
        case kMethodReloadSettings:
            return new ReloadSettingsMethod();
        case kMethodGetCdrs:
            return new GetCdrsMethod();
        default:
            return nullptr;
    }
}

}  // namespace

XmlRpcRequestMethod* XmlRpcRequestMethod::CreateMethod(const XmlRpcValueString& name) {
    XmlRpcTrace("CreateMethod:\n");
    // Names differ mostly in their last word: compare lengths first, then the
    // bytes from the end. A name with a NUL inside matches no entry.
    const std::string_view wanted = name.mstrValue;
    for (int i = 0; i < kMethodCount; ++i) {
        const std::string_view entry = _Methods[i];
        if (entry.size() != wanted.size()) {
            continue;
        }
        size_t k = entry.size();
        while (k > 0 && xmlrpc_names::Lower(entry[k - 1]) == xmlrpc_names::Lower(wanted[k - 1])) {
            --k;
        }
        if (k == 0) {
            if (i == kMethodConfigurationUpdate) {
                XmlRpcTrace("CreateMethod:\n");
            }
            return NewRequest(i);
        }
    }
    return nullptr;
}

XmlRpcRequestMethod* XmlRpcRequestMethod::CreateFromXML(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    // The text is read in place: it outlives the reader.
    XMLNavigator nav;
    nav.SetXMLSource(text, std::strlen(text));
    XmlRpcValueString name;
    if (!xmlrpc_names::NextIs(nav, xmlrpc_names::kMethodCall) ||
        !xmlrpc_names::NextIs(nav, xmlrpc_names::kMethodName) || !name.Parse(nav) ||
        !xmlrpc_names::NextIs(nav, xmlrpc_names::kParams)) {
        if (nav.DepthExceeded()) {
            XmlRpcTrace("XmlRpc: request nested deeper than %d elements, refused\n", kMaxXmlDepth);
        }
        return nullptr;
    }
    XmlRpcTrace("CreateFromXML:1\n");
    std::unique_ptr<XmlRpcRequestMethod> method(CreateMethod(name));
    if (!method) {
        return _UnknownMethod;
    }
    XmlRpcTrace("CreateFromXML:2\n");
    bool ok = method->Parse(nav);
    if (nav.DepthExceeded()) {
        XmlRpcTrace("XmlRpc: request nested deeper than %d elements, refused\n", kMaxXmlDepth);
        return _UnknownMethod;
    }
    // A text that ran out before its parameters were closed is truncated.
    if (!ok || nav.IsExhausted()) {
        return _UnknownMethod;
    }
    return method.release();
}
