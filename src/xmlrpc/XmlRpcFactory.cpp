// The method table and the factory that turns a received request text into
// its request object.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "xmlrpc/CallProcessingMethods.h"
#include "xmlrpc/CdrQueryMethods.h"
#include "xmlrpc/IntrospectionMethods.h"
#include "xmlrpc/SubscriptionMethods.h"
#include "xmlrpc/SystemMethods.h"
#include "xmlrpc/XmlRpcLog.h"
#include "xmlrpc/XmlRpcMethod.h"
#include "xmlrpc/XmlRpcNames.h"

namespace {

template <class T>
XmlRpcRequestMethod* Make() {
    return new T();
}

// Indexed by XmlRpcMethodIndex; a row with a null name is no method.
constexpr XmlRpcMethodInfo kMethodTable[] = {
    // clang-format off
    {kMethodCreateCall, "Services.CallProcessingService.createcall", true, "string",
     "Makes a call from an extension to a party; answers the call ID (ID, from, to[, display]).",
     &Make<CreateCallMethod>},
    {kMethodCloseCall, "Services.CallProcessingService.closecall", true, "string",
     "Ends a call of this connection (ID).",
     &Make<CloseCallMethod>},
    {kMethodTransferCall, "Services.CallProcessingService.transfercall", true, "string",
     "Transfers a call of this connection to a party (ID, target).",
     &Make<TransferCallMethod>},
    {kMethodJoinCalls, "Services.CallProcessingService.joincalls", true, "string",
     "Joins two calls of this connection (ID, other ID).",
     &Make<JoinCallsMethod>},
    {kMethodUnjoinCalls, "Services.CallProcessingService.unjoincalls", true, "string",
     "Separates two joined calls of this connection (ID, other ID).",
     &Make<UnjoinCallsMethod>},
    {kMethodCallStateChanged, "Services.CallProcessingService.callstatechanged", false, "string",
     "Sent by the daemon: a call changed its state.",
     &Make<CallStateChangedMethod>},
    {kMethodPlayMessage, "Services.CallProcessingService.playmessage", true, "string",
     "Plays a voice prompt into a call (ID, prompt, ...).",
     &Make<PlayMessageMethod>},
    {kMethodMessagePlayed, "Services.CallProcessingService.messageplayed", false, "string",
     "Sent by the daemon: a prompt finished playing.",
     &Make<MessagePlayedMethod>},
    {kMethodInjectDTMF, "Services.CallProcessingService.injectdtmf", true, "string",
     "Sends DTMF digits into a call (ID, digits).",
     &Make<InjectDTMFMethod>},
    {kMethodDTMFInjected, "Services.CallProcessingService.dtmfinjected", false, "string",
     "Sent by the daemon: the DTMF digits were sent.",
     &Make<DTMFInjectedMethod>},
    {kMethodEnableDtmfDetection, "Services.CallProcessingService.enabledtmfdetection", true, "string",
     "Turns reporting of the DTMF digits of a call on or off (ID, flag).",
     &Make<EnableDtmfDetectionMethod>},
    {kMethodDtmfDigitDetected, "Services.CallProcessingService.dtmfdigitdetected", false, "string",
     "Sent by the daemon: a DTMF digit was detected in a call.",
     &Make<DtmfDigitReceivedMethod>},
    {kMethodIncomingCallHandling, "Services.CallProcessingService.incomingcallhandling", true, "string",
     "Takes (or gives back) the incoming calls of an extension (extension, flag).",
     &Make<IncomingCallHandlingMethod>},
    {kMethodProcess, "Services.CallProcessingService.process", false, "struct",
     "Sent by the daemon: an incoming call to decide.",
     &Make<CallArrivedMethod>},
    {kMethodAuthenticate, "Services.CallProcessingService.authenticate", true, "boolean",
     "Authorises the connection with an account and its password (user, password).",
     &Make<AuthenticateMethod>},
    {kMethodSAuthenticate, "Services.CallProcessingService.sauthenticate", true, "boolean",
     "Authorises the connection with an account and a digest (user, time stamp, digest).",
     &Make<SAuthenticateMethod>},
    {kMethodSubscribe, "Services.CallProcessingService.subscribe", true, "string",
     "Subscribes to events of a kind (ID, type, options).",
     &Make<SubscribeMethod>},
    {kMethodUnsubscribe, "Services.CallProcessingService.unsubscribe", true, "string",
     "Ends a subscription of this connection (ID).",
     &Make<UnsubscribeMethod>},
    {kMethodMailArrived, "Services.CallProcessingService.mailarrived", false, "string",
     "Sent by the daemon: the voice mailbox of a subscription changed.",
     &Make<MailArrivedMethod>},
    {kMethodCDRArrived, "Services.CallProcessingService.cdrarrived", false, "string",
     "Sent by the daemon: a call detail record.",
     &Make<CDRArrivedMethod>},
    {kMethodDlgArrived, "Services.CallProcessingService.dlgarrived", false, "string",
     "Sent by the daemon: the dialogs of a subscribed extension.",
     &Make<DialogArrivedMethod>},
    {kMethodPrsArrived, "Services.CallProcessingService.prsarrived", false, "string",
     "Sent by the daemon: the presence of a subscribed extension.",
     &Make<PresenceArrivedMethod>},
    {kMethodGetExtension, "Services.CallProcessingService.getextension", true, "string",
     "Answers the extension of an account (user).",
     &Make<GetExtensionMethod>},
    {kMethodGetSystemInfo, "Services.SystemService.getsysteminfo", true, "string",
     "Answers the unit's unique ID and software version (ID).",
     &Make<GetSystemInfoMethod>},
    {kMethodGetWAVFilesList, "Services.SystemService.getwavfileslist", true, "string",
     "Lists the voice prompt files of a kind (ID, type, extension).",
     &Make<GetWAVFilesMethod>},
    {kMethodBeginFileTransfer, "Services.SystemService.beginfiletransfer", true, "string",
     "Begins the upload of a voice prompt file; the body follows (ID, type, extension, file, size, transfer).",
     &Make<FileTransferMethod>},
    {kMethodDeleteFile, "Services.SystemService.deletefile", true, "string",
     "Deletes a voice prompt file (ID, type, extension, file).",
     &Make<FileDeleteMethod>},
    {kMethodCallOriginated, "Services.CallProcessingService.calloriginated", false, "struct",
     "Sent by the daemon: a call to route for a routing subscriber.",
     &Make<CallOriginatedMethod>},
    {kMethodExtListArrived, "Services.CallProcessingService.extlistarrived", false, "string",
     "Sent by the daemon: the extension list.",
     &Make<ExtListArrivedMethod>},
    {kMethodConfigurationUpdate, "Services.SystemService.configurationupdate", true, "string",
     "Uploads a configuration file for the exchange's configuration tool; the body follows (ID, file, size, flag).",
     &Make<ConfigurationUpdateMethod>},
    {kMethodReloadSettings, "Services.SystemService.reloadsettings", true, "string",
     "The administrator's: reads the daemon's settings again (ID).",
     &Make<ReloadSettingsMethod>},
    {kMethodGetCdrs, "Services.SystemService.getcdrs", true, "string",
     "The administrator's: the spooled call-detail records from a sequence number on (ID, since[, count]).",
     &Make<GetCdrsMethod>},
    {kMethodGetStatus, "Services.SystemService.getstatus", true, "string",
     "The administrator's: every connection, pending policy requests and the daemon's counters (ID).",
     &Make<GetStatusMethod>},
    {kMethodListMethods, "system.listMethods", true, "array",
     "Lists the methods a client may call.",
     &Make<ListMethodsMethod>},
    {kMethodMethodSignature, "system.methodSignature", true, "array",
     "The signatures of a method: arrays of the answer's type then the parameters' (name).",
     &Make<MethodSignatureMethod>},
    {kMethodMethodHelp, "system.methodHelp", true, "string",
     "One line of help on a method (name).",
     &Make<MethodHelpMethod>},
    {kMethodMulticall, "system.multicall", true, "array",
     "Carries out several calls in one request, each as if sent alone; answers an array of [result] or fault structs.",
     &Make<MulticallMethod>},
    // clang-format on
};

constexpr bool TableInOrder() {
    for (int i = 0; i < kMethodCount; ++i) {
        if (kMethodTable[i].index != i) {
            return false;
        }
    }
    return true;
}
static_assert(sizeof kMethodTable / sizeof kMethodTable[0] == kMethodCount,
              "one row per method index");
static_assert(TableInOrder(), "rows in index order");

const XmlRpcMethodInfo kNoMethod = {-1, nullptr, false, nullptr, nullptr, nullptr};

}  // namespace

const XmlRpcRequestMethod::MethodNames XmlRpcRequestMethod::_Methods{};

const char* XmlRpcRequestMethod::MethodNames::operator[](int index) const {
    const char* name = Info(index).name;
    return name != nullptr ? name : "";
}

const XmlRpcMethodInfo& XmlRpcRequestMethod::Info(int index) {
    return index >= 0 && index < kMethodCount ? kMethodTable[index] : kNoMethod;
}

XmlRpcRequestMethod* const XmlRpcRequestMethod::_UnknownMethod =
    reinterpret_cast<XmlRpcRequestMethod*>(~static_cast<uintptr_t>(0));

XmlRpcResponseMethod* XmlRpcRequestMethod::CreateResponse(bool fault) {
    if (fault) {
        return CreateFault();
    }
    return new XmlRpcResponseMethod(mnMethodIndex);
}

XmlRpcRequestMethod* XmlRpcRequestMethod::CreateMethod(const XmlRpcValueString& name) {
    XmlRpcTrace("CreateMethod:\n");
    // Names differ mostly in their last word: compare lengths first, then the
    // bytes from the end. A name with a NUL inside matches no entry.
    const std::string_view wanted = name.mstrValue;
    for (int i = 0; i < kMethodCount; ++i) {
        if (kMethodTable[i].name == nullptr) {
            continue;
        }
        const std::string_view entry = kMethodTable[i].name;
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
            return kMethodTable[i].make();
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
