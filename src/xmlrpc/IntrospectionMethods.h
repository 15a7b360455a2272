// The administrator's status request and the conventional introspection
// methods (system.listMethods, system.methodSignature, system.methodHelp,
// system.multicall). The requests carry their parameters only; the server
// fills their answers (ValueResponseMethod). The listing, signatures and help
// are read from the method table, so they cannot differ from what the
// factory makes.
//
// Threads: like every method object, used by one thread at a time; the
// table functions are safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "xmlrpc/XmlRpcMethod.h"

// An answer whose values the server sets, position by position.
class ValueResponseMethod : public XmlRpcResponseMethod {
  public:
    ValueResponseMethod(int methodIndex, const XmlRpcParamLayout& layout)
        : XmlRpcResponseMethod(methodIndex, layout) {}
    // Takes ownership of `value`.
    void SetValue(int pos, XmlRpcValue* value) { SetParam(pos, value); }
};

// "Services.SystemService.getstatus" (ID): answered with the ID and a struct.
class GetStatusMethod : public XmlRpcRequestMethod {
  public:
    GetStatusMethod();
    bool SetParams(const unsigned long long& id);
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

class ListMethodsMethod : public XmlRpcRequestMethod {
  public:
    ListMethodsMethod();
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

// system.methodSignature and system.methodHelp: one method name.
class MethodNameQuery : public XmlRpcRequestMethod {
  public:
    explicit MethodNameQuery(int index);
    void Execute(IRpcCallback& target) override { (void)target; }
    std::string GetName() const;
};

class MethodSignatureMethod : public MethodNameQuery {
  public:
    MethodSignatureMethod();
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

class MethodHelpMethod : public MethodNameQuery {
  public:
    MethodHelpMethod();
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

// system.multicall: an array of {methodName, params} structs.
class MulticallMethod : public XmlRpcRequestMethod {
  public:
    MulticallMethod();
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
    const XmlRpcValueArray* GetCalls() const { return ArrayParam(0); }
};

namespace introspection {

// The methods a client may call, in table order.
XmlRpcValueArray* ListMethods();
// The signatures of the method named `name` (case ignored): one array per
// accepted parameter count, the answer's type first; null when unknown.
XmlRpcValueArray* Signatures(const std::string& name);
// Its line of help; false when unknown.
bool Help(const std::string& name, std::string& help);
// The text of the request one multicall entry describes ({methodName,
// params}); false when the entry is not such a struct.
bool CallText(const XmlRpcValue& entry, std::string& text);
// The values of a methodResponse text, or its fault struct.
bool ParseAnswer(const std::string& text, std::vector<std::unique_ptr<XmlRpcValue>>& values,
                 std::unique_ptr<XmlRpcValue>& fault);

}  // namespace introspection
