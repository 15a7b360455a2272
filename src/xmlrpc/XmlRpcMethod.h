// The XML-RPC message envelope: the base classes of every request and response,
// the method table and factory, the fault response and the text form of call
// parties. Each concrete method describes its positional parameters with an
// XmlRpcParamLayout; the bases write and read the parameter list from it.
//
// Threads: a method object lives for one message and is used by one thread at
// a time (the connection thread or the thread that builds an event); the static
// tables are constant and the factory is safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "exchange/MessagingTypes.h"
#include "xmlrpc/IRpcCallback.h"
#include "xmlrpc/XMLNavigator.h"
#include "xmlrpc/XmlRpcValue.h"

class XmlRpcResponseMethod;

// Index of each method in the method table (XmlRpcRequestMethod::Info).
enum XmlRpcMethodIndex {
    kMethodCreateCall = 0,
    kMethodCloseCall = 1,
    kMethodTransferCall = 2,
    kMethodJoinCalls = 3,
    kMethodUnjoinCalls = 4,
    kMethodCallStateChanged = 5,
    kMethodPlayMessage = 6,
    kMethodMessagePlayed = 7,
    kMethodInjectDTMF = 8,
    kMethodDTMFInjected = 9,
    kMethodEnableDtmfDetection = 10,
    kMethodDtmfDigitDetected = 11,
    kMethodIncomingCallHandling = 12,
    kMethodProcess = 13,
    kMethodAuthenticate = 14,
    kMethodSAuthenticate = 15,
    kMethodSubscribe = 16,
    kMethodUnsubscribe = 17,
    kMethodMailArrived = 18,
    kMethodCDRArrived = 19,
    kMethodDlgArrived = 20,
    kMethodPrsArrived = 21,
    kMethodGetExtension = 22,
    kMethodGetSystemInfo = 23,
    kMethodGetWAVFilesList = 24,
    kMethodBeginFileTransfer = 25,
    kMethodDeleteFile = 26,
    kMethodCallOriginated = 27,
    kMethodExtListArrived = 28,
    kMethodConfigurationUpdate = 29,
    kMethodReloadSettings = 30,
    kMethodGetCdrs = 31,
    kMethodGetStatus = 32,
    kMethodListMethods = 33,
    kMethodMethodSignature = 34,
    kMethodMethodHelp = 35,
    kMethodMulticall = 36,
    kMethodCount = 37,
};

class XmlRpcRequestMethod;

// One row of the method table: the name on the wire, whether a client may
// call it (false: a request the daemon sends to clients), the type of the
// answer's first value, one line of help, and the factory of its request
// object. Introspection and the factory read the same rows.
struct XmlRpcMethodInfo {
    int index;
    const char* name;  // null: no method at this index
    bool served;
    const char* returns;
    const char* help;
    XmlRpcRequestMethod* (*make)();
};

// The positional parameters of a method: their types in wire order, how many
// lead the list as required (the rest form an optional tail), and the wire
// position of the 64-bit ID kept in the first-parameter field (-1: no ID).
struct XmlRpcParamLayout {
    const int* types;
    int count;
    int required;
    int idPos;
};

class XmlRpcMethod {
  public:
    enum Kind { KindResponse = 0, KindRequest = 1 };

    static const char* const _MethodCall;      // "methodCall"
    static const char* const _MethodResponse;  // "methodResponse"
    static const char* const _MethodName;      // "methodName"
    static const char* const _Params;          // "params"
    static const char* const _Param;           // "param"
    static const char* const _TagEnd;          // ">"
    static const char* const _StartTagStart;   // "<"
    static const char* const _EndTagStart;     // "</"

    virtual ~XmlRpcMethod() = default;
    XmlRpcMethod(const XmlRpcMethod&) = delete;
    XmlRpcMethod& operator=(const XmlRpcMethod&) = delete;

    // Appends the XML declaration line; subclasses append the rest.
    virtual bool BuildXML(std::string& out);
    // Hands the parsed method to the command interface.
    virtual void Execute(IRpcCallback& target) = 0;

    int GetKind() const { return mnKind; }
    int GetMethodIndex() const { return mnMethodIndex; }
    bool IsMethod(int index) const { return mnMethodIndex == index; }
    // The first parameter's text read as an unsigned decimal number; 0 without one.
    unsigned long long GetCallID() const;

    // Sets the ID wherever the method carries it (nothing for a method without one).
    void SetCallID(const unsigned long long& id) { SetIdParam(id); }

    // The parameter at wire position `pos` (null when not set or out of range).
    const XmlRpcValue* GetParam(int pos) const;
    int GetParamCount() const { return mpLayout->count; }
    int GetRequiredCount() const { return mpLayout->required; }
    int GetParamType(int pos) const { return mpLayout->types[pos]; }

    static bool CheckNextElem(XMLNavigator& nav, const char* name);
    // The text form of a call party (pbx:, sip, pstn:, tel:, ar:, vm:).
    static bool CallParamsFromString(const std::string& text, CallParams& party);
    static bool CallParamsToString(const CallParams& party, std::string& text);

  protected:
    XmlRpcMethod(int kind, int methodIndex, const XmlRpcParamLayout& layout);

    XmlRpcValue* Param(int pos) const;
    // Stores `value` at wire position `pos`, destroying what was there.
    void SetParam(int pos, XmlRpcValue* value);
    // The value at `pos` if it has exactly T's type code, else null.
    template <typename T>
    T* ParamAs(int pos) const {
        XmlRpcValue* v = Param(pos);
        return (v != nullptr && v->IsType(T::kType)) ? static_cast<T*>(v) : nullptr;
    }
    // The value at `pos`, created empty on first use (the builders reuse it).
    template <typename T>
    T& EnsureParam(int pos) {
        XmlRpcValue* v = Param(pos);
        if (v == nullptr || !v->IsType(T::kType)) {
            SetParam(pos, v = new T());
        }
        return *static_cast<T*>(v);
    }
    const std::string* StringParam(int pos) const;
    const int* IntParam(int pos) const;
    const bool* BoolParam(int pos) const;
    XmlRpcValueStruct* StructParam(int pos) const;
    XmlRpcValueArray* ArrayParam(int pos) const;
    void SetIdParam(const unsigned long long& id);
    bool HasRequiredParams() const;

    // Appends <params> with every parameter set, in order, and </params>; false,
    // appending nothing, when a required parameter is missing.
    bool BuildParams(std::string& out) const;
    // Reads the parameters in layout order; `checkEnd` requires the reader to
    // report no further element after the last one read.
    bool ParseParams(XMLNavigator& nav, bool checkEnd);

    const int mnKind;
    const int mnMethodIndex;
    std::unique_ptr<XmlRpcValue> mpFirstParam;  // the ID, wherever it travels

  private:
    const XmlRpcParamLayout* mpLayout;
    std::vector<std::unique_ptr<XmlRpcValue>> mvParams;  // other parameters by position
};

class XmlRpcRequestMethod : public XmlRpcMethod {
  public:
    // The names of the method table by index ("" where there is none).
    struct MethodNames {
        const char* operator[](int index) const;
    };
    static const MethodNames _Methods;
    // The row of `index` (a row with a null name outside the table).
    static const XmlRpcMethodInfo& Info(int index);
    static XmlRpcRequestMethod* const _UnknownMethod;  // all bits set, never deleted

    // Writes the whole methodCall with the parameters that are set.
    bool BuildXML(std::string& out) override;
    // The answer object for this request: its response class, or a fault
    // (a plain response carrying the ID unless the method has its own class).
    virtual XmlRpcResponseMethod* CreateResponse(bool fault);
    // Reads the parameters, the reader just after <params>.
    virtual bool Parse(XMLNavigator& nav);

    // Null when `text` is not a method call; _UnknownMethod when it is one that
    // cannot be served (unknown name, parameters that do not fit).
    static XmlRpcRequestMethod* CreateFromXML(const char* text);
    // A new, empty request of the method named `name` (case ignored), or null.
    static XmlRpcRequestMethod* CreateMethod(const XmlRpcValueString& name);
    // Parses the answer to this request: its response class, else a fault.
    XmlRpcResponseMethod* CreateResponseFromXML(const char* text);

  protected:
    XmlRpcRequestMethod(int methodIndex, const XmlRpcParamLayout& layout)
        : XmlRpcMethod(KindRequest, methodIndex, layout) {}
    XmlRpcResponseMethod* CreateFault();
};

// A plain response: one string parameter, the call ID. Specific responses
// derive from it with their own layouts.
class XmlRpcResponseMethod : public XmlRpcMethod {
  public:
    static const char* const _Fault;  // "fault"

    explicit XmlRpcResponseMethod(int methodIndex);

    bool BuildXML(std::string& out) override;
    void Execute(IRpcCallback& target) override { (void)target; }
    virtual bool SetParams(const unsigned long long& id);
    virtual bool Parse(XMLNavigator& nav);
    virtual bool ParseFault(XMLNavigator& nav);
    // Parses a whole methodResponse text into this object.
    bool Parse(const char* text);

    bool IsFault() const { return mbFault; }

  protected:
    XmlRpcResponseMethod(int methodIndex, const XmlRpcParamLayout& layout, bool fault = false)
        : XmlRpcMethod(KindResponse, methodIndex, layout), mbFault(fault) {}

    const bool mbFault;
};

class FaultResponseMethod : public XmlRpcResponseMethod {
  public:
    explicit FaultResponseMethod(int methodIndex);

    using XmlRpcResponseMethod::SetParams;
    bool SetParams(int code, const std::string& text);
    bool BuildXML(std::string& out) override;
    bool ParseFault(XMLNavigator& nav) override;
    void Execute(IRpcCallback& target) override;

    const XmlRpcValueStruct* GetFault() const { return mpFault.get(); }

  private:
    std::unique_ptr<XmlRpcValueStruct> mpFault;
};
