// Call-processing methods: the commands a client sends to control calls and to
// look up and authenticate users, the call events the daemon sends to the
// client that owns a call, and their answers. Parameters are positional; IDs
// travel as decimal strings and call parties in their text form.
//
// Threads: like every method object, used by one thread at a time.
#pragma once

#include <list>
#include <string>

#include "xmlrpc/XmlRpcMethod.h"

// ---- client requests -------------------------------------------------------

class CreateCallMethod : public XmlRpcRequestMethod {
  public:
    CreateCallMethod();
    // The display name is sent only when not empty; false when `to` cannot be
    // written as text (a SIP party without a usable address).
    bool SetParams(const unsigned long long& id, const std::string& from, const CallParams& to,
                   const std::string& displayName = std::string());
    void Execute(IRpcCallback& target) override;
};

class CloseCallMethod : public XmlRpcRequestMethod {
  public:
    CloseCallMethod();
    bool SetParams(const unsigned long long& id);
    void Execute(IRpcCallback& target) override;
};

class TransferCallMethod : public XmlRpcRequestMethod {
  public:
    TransferCallMethod();
    bool SetParams(const unsigned long long& id, const CallParams& to);
    void Execute(IRpcCallback& target) override;
};

class JoinCallsMethod : public XmlRpcRequestMethod {
  public:
    JoinCallsMethod();
    bool SetParams(const unsigned long long& id, const unsigned long long& otherId);
    void Execute(IRpcCallback& target) override;
};

class UnjoinCallsMethod : public XmlRpcRequestMethod {
  public:
    UnjoinCallsMethod();
    bool SetParams(const unsigned long long& id, const unsigned long long& otherId);
    void Execute(IRpcCallback& target) override;
};

class PlayMessageMethod : public XmlRpcRequestMethod {
  public:
    PlayMessageMethod();
    bool SetParams(const unsigned long long& id, const std::string& file);
    bool SetParams(const unsigned long long& id, const std::string& file, int count);
    // Passes a count of -1 when the request carries none.
    void Execute(IRpcCallback& target) override;
};

class InjectDTMFMethod : public XmlRpcRequestMethod {
  public:
    InjectDTMFMethod();
    bool SetParams(const unsigned long long& id, const std::string& keys);
    void Execute(IRpcCallback& target) override;
};

class EnableDtmfDetectionMethod : public XmlRpcRequestMethod {
  public:
    EnableDtmfDetectionMethod();
    bool SetParams(const unsigned long long& id, bool enable);
    void Execute(IRpcCallback& target) override;
};

// Carries no call ID: the first parameter is the extension.
class IncomingCallHandlingMethod : public XmlRpcRequestMethod {
  public:
    IncomingCallHandlingMethod();
    bool SetParams(const std::string& ext, bool enable);
    void Execute(IRpcCallback& target) override;
};

class GetExtensionMethod : public XmlRpcRequestMethod {
  public:
    GetExtensionMethod();
    bool SetParams(const std::string& user);
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

class AuthenticateMethod : public XmlRpcRequestMethod {
  public:
    AuthenticateMethod();
    bool SetParams(const std::string& user, const std::string& password);
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

class SAuthenticateMethod : public XmlRpcRequestMethod {
  public:
    SAuthenticateMethod();
    bool SetParams(const std::string& user, const std::string& timeStamp,
                   const std::string& digest);
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

// ---- answers to lookup and authentication ----------------------------------

class GetExtensionResponseMethod : public XmlRpcResponseMethod {
  public:
    GetExtensionResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    bool SetParams(bool found, const std::string& text);
    void Execute(IRpcCallback& target) override;
};

class AuthenticateResponseMethod : public XmlRpcResponseMethod {
  public:
    AuthenticateResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    bool SetParams(bool accepted, const std::string& text);
    bool IsAccepted() const;
    std::string GetText() const;
};

// ---- daemon requests about a call ------------------------------------------

class CallStateChangedMethod : public XmlRpcRequestMethod {
  public:
    CallStateChangedMethod();
    bool SetParams(const unsigned long long& id, int state);
    void Execute(IRpcCallback& target) override;
};

class MessagePlayedMethod : public XmlRpcRequestMethod {
  public:
    MessagePlayedMethod();
    bool SetParams(const unsigned long long& id);
    void Execute(IRpcCallback& target) override;
};

class DTMFInjectedMethod : public XmlRpcRequestMethod {
  public:
    DTMFInjectedMethod();
    bool SetParams(const unsigned long long& id);
    void Execute(IRpcCallback& target) override;
};

// The digit travels as the character code of the key (49 for "1").
class DtmfDigitReceivedMethod : public XmlRpcRequestMethod {
  public:
    DtmfDigitReceivedMethod();
    bool SetParams(const unsigned long long& id, int digit);
    void Execute(IRpcCallback& target) override;
};

// The offer of an incoming call ("process"): a description struct, then the ID.
class CallArrivedMethod : public XmlRpcRequestMethod {
  public:
    CallArrivedMethod();
    // "From" is written by `type`, not by the record's own type word; a SIP
    // party without an address to write (no host) is written as "tel:" and
    // its user, so every call can be offered.
    bool SetParams(const unsigned long long& id, ExtCallType type, const std::string& ext,
                   const CallParams& from, const CallParams& to,
                   const unsigned long long& origCallId);
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

class CallOriginatedMethod : public XmlRpcRequestMethod {
  public:
    CallOriginatedMethod();
    bool SetParams(const unsigned long long& id, ExtCallType type, const std::string& ext,
                   const CallParams& from, const CallParams& to, const std::string& pattern);
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

// ---- decisions on offered calls --------------------------------------------

// The client's answer to "process": accept, decline or redirect.
class CallArrivedResponseMethod : public XmlRpcResponseMethod {
  public:
    enum Action { ActionAccept = 0, ActionDecline = 1, ActionRedirect = 2 };

    CallArrivedResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    // Accept, presenting the given caller number and name.
    bool SetParams(const unsigned long long& id, const std::string& callerId,
                   const std::string& displayName, bool remoteControl);
    // Redirect to the targets, in order; a target with the message-taker bit
    // gets the ";actor=\"msg-taker\"" mark. False when a target cannot be written.
    bool SetParams(const unsigned long long& id, const std::list<CallParams>& targets,
                   const std::string& callerId, const std::string& displayName);
    // Decline, with one reason text.
    bool SetParams(const unsigned long long& id, const std::string& reason);

    // A "CallID" member becomes the ID; a second parameter overrides it.
    bool Parse(XMLNavigator& nav) override;
    void Execute(IRpcCallback& target) override;
    // The decision's action code; anything but decline or redirect is accept.
    int GetAction() const;
    bool IsAccept() const { return GetAction() == ActionAccept; }
};

// The subscriber's answer to "calloriginated": take the call or decline it.
class CallOriginatedResponseMethod : public XmlRpcResponseMethod {
  public:
    CallOriginatedResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    bool SetAcceptParams(const unsigned long long& id, const unsigned long long& subscrId);
    bool SetDeclineParams(const unsigned long long& id);

    bool Parse(XMLNavigator& nav) override;
    void Execute(IRpcCallback& target) override;
    int GetAction() const;
    bool IsAccept() const { return GetAction() == 0; }
};
