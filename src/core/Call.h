// One call that the daemon controls or watches, identified by the call
// manager's 64-bit call ID. Towards clients it is the IRpcCallback target of
// their requests (commands are logged and forwarded to ExtCallControl, system
// services to the listener); towards the daemon's services it has one
// listener, an ICallNotify, which receives the call's events.
//
// Threads: created and deleted on the main thread, the connection thread and
// the policy worker. The registry (mmapCalls) is guarded by mMapMutex, a
// re-entrant lock held from GetCall until ReleaseCall, across the listener's
// notification, so a listener may delete the Call it is told about.
// `listener` is set by the creator before the Call is shared.
#pragma once

#include <map>

#include "base/ThreadMutex.h"
#include "core/ICallNotify.h"
#include "core/RegistryRef.h"
#include "xmlrpc/IRpcCallback.h"

class Call : public IRpcCallback {
  public:
    explicit Call(const unsigned long long& id);
    // A carrier: a Call made for one client request so that the request
    // reaches the listener's handler. It is not registered, so it never
    // takes over (nor, when it goes, removes) the registry entry of a live
    // call that has the same ID.
    struct Carrier {};
    Call(const unsigned long long& id, Carrier);
    ~Call() override;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // The registered Call with this ID, with the registry left locked; or null
    // with the registry unlocked. Pair every non-null result with ReleaseCall
    // (or use CallRef).
    static Call* GetCall(unsigned long long id);
    static void ReleaseCall();

    const unsigned long long& GetID() const { return id; }
    ICallNotify* GetListener() const { return listener; }
    void SetListener(ICallNotify* l) { listener = l; }

    // Event senders; each does nothing without a listener.
    void SendCallArrived(ExtCallType type, const std::string& ext, const CallParams& from,
                         const CallParams& to, const unsigned long long& origCallId);
    void SendStateChanged(ExtCallState state);
    void SendMessagePlayed();
    void SendDTMFInjected();
    void SendDtmfDigit(char digit);
    void SendCallOriginated(ExtCallType type, const std::string& ext, const CallParams& from,
                            const CallParams& to, const std::string& pattern);

    // IRpcCallback: the commands a Call carries out.
    void AuthenticateCB(const std::string& user, const std::string& password) override;
    void SecureAuthenticateCB(const std::string& user, const std::string& timeStamp,
                              const std::string& digest) override;
    void GetExtensionCB(const std::string& user) override;
    void IncomingCallHandlingCB(const std::string& ext, long enable) override;
    void AcceptCB(const unsigned long long& callId, const std::string& callerId,
                  const std::string& displayName, long virtualAccept) override;
    void AcceptCRCB(const unsigned long long& callId,
                    const unsigned long long& subscriberId) override;
    void ForwardCB(const unsigned long long& callId, const std::list<CallParams>& targets,
                   const std::string& callerId, const std::string& displayName) override;
    void RejectCB(const unsigned long long& callId) override;
    void CreateCB(const unsigned long long& callId, const std::string& from, const CallParams& to,
                  const std::string& displayName) override;
    void CloseCB(const unsigned long long& callId) override;
    void TransferCB(const unsigned long long& callId, const CallParams& to) override;
    void JoinCB(const unsigned long long& callId, const unsigned long long& otherCallId) override;
    void UnjoinCB(const unsigned long long& callId, const unsigned long long& otherCallId) override;
    void PlayMessageCB(const unsigned long long& callId, const std::string& file,
                       int count) override;
    void InjectDTMFCB(const unsigned long long& callId, const std::string& digits) override;
    void EnableDtmfDetectionCB(const unsigned long long& callId, long enable) override;
    void GetSystemInfoCB(const unsigned long long& id) override;
    int GetWAVListCB(int type, const std::string& ext, std::list<std::string>* names) override;
    int WAVFileDeleteCB(int type, const std::string& ext, const std::string& file) override;
    int FileTransferCB(int type, const std::string& ext, const std::string& file, const int& size,
                       bool transfer, std::string& message) override;
    int ConfigurationUpdateCB(const std::string& file, int& size, bool flag,
                              std::string& message) override;

    // Registry of every live Call by ID; entries are not owned. Never destroyed,
    // so threads still running while the process exits find them intact.
    static std::map<unsigned long long, Call*>& mmapCalls;
    static ThreadMutex& mMapMutex;

  private:
    const unsigned long long id;
    const bool registered = true;
    ICallNotify* listener = nullptr;
};

using CallRef = RegistryRef<Call, &Call::GetCall, &Call::ReleaseCall>;
