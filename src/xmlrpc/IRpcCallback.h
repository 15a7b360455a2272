// The command interface shared by Call and Subscription: the request dispatch
// hands every decoded XML-RPC method to the IRpcCallback of its call or
// subscription (XmlRpcMethod::Execute). Every operation has an empty default;
// those with results return 0. The slot order below is part of the interface.
//
// Threads: called on the connection thread (client requests) and on the policy
// worker (decided calls). Implementations guard their own state.
#pragma once

#include <list>
#include <string>

#include "exchange/MessagingTypes.h"

class IRpcCallback {
  public:
    // 1-3: authentication and extension lookup
    virtual void AuthenticateCB(const std::string& user, const std::string& password) {
        (void)user, (void)password;
    }
    virtual void SecureAuthenticateCB(const std::string& user, const std::string& timeStamp,
                                      const std::string& digest) {
        (void)user, (void)timeStamp, (void)digest;
    }
    virtual void GetExtensionCB(const std::string& user) { (void)user; }
    // 4: a received get-extension response
    virtual void GetExtensionResponseCB(bool found, const std::string& text) {
        (void)found, (void)text;
    }
    // 5: take or release the incoming calls of an extension
    virtual void IncomingCallHandlingCB(const std::string& ext, long enable) {
        (void)ext, (void)enable;
    }
    // 6, 7: a received process / calloriginated request
    virtual void CallArrivedCB(const unsigned long long& callId, ExtCallType type,
                               const std::string& ext, const CallParams& from, const CallParams& to,
                               const unsigned long long& origCallId) {
        (void)callId, (void)type, (void)ext, (void)from, (void)to, (void)origCallId;
    }
    virtual void CallOriginatedCB(const unsigned long long& callId, ExtCallType type,
                                  const std::string& ext, const CallParams& from,
                                  const CallParams& to, const std::string& pattern) {
        (void)callId, (void)type, (void)ext, (void)from, (void)to, (void)pattern;
    }
    // 8-19: call commands
    virtual void AcceptCB(const unsigned long long& callId, const std::string& callerId,
                          const std::string& displayName, long virtualAccept) {
        (void)callId, (void)callerId, (void)displayName, (void)virtualAccept;
    }
    virtual void AcceptCRCB(const unsigned long long& callId,
                            const unsigned long long& subscriberId) {
        (void)callId, (void)subscriberId;
    }
    virtual void ForwardCB(const unsigned long long& callId, const std::list<CallParams>& targets,
                           const std::string& callerId, const std::string& displayName) {
        (void)callId, (void)targets, (void)callerId, (void)displayName;
    }
    virtual void RejectCB(const unsigned long long& callId) { (void)callId; }
    virtual void CreateCB(const unsigned long long& callId, const std::string& from,
                          const CallParams& to, const std::string& displayName) {
        (void)callId, (void)from, (void)to, (void)displayName;
    }
    virtual void CloseCB(const unsigned long long& callId) { (void)callId; }
    virtual void TransferCB(const unsigned long long& callId, const CallParams& to) {
        (void)callId, (void)to;
    }
    virtual void JoinCB(const unsigned long long& callId, const unsigned long long& otherCallId) {
        (void)callId, (void)otherCallId;
    }
    virtual void UnjoinCB(const unsigned long long& callId, const unsigned long long& otherCallId) {
        (void)callId, (void)otherCallId;
    }
    virtual void PlayMessageCB(const unsigned long long& callId, const std::string& file,
                               int count) {
        (void)callId, (void)file, (void)count;
    }
    virtual void InjectDTMFCB(const unsigned long long& callId, const std::string& digits) {
        (void)callId, (void)digits;
    }
    virtual void EnableDtmfDetectionCB(const unsigned long long& callId, long enable) {
        (void)callId, (void)enable;
    }
    // 20-23: received call events (a client sent the daemon's own requests)
    virtual void CallStateChangedCB(const unsigned long long& callId, int state) {
        (void)callId, (void)state;
    }
    virtual void MessagePlayedCB(const unsigned long long& callId) { (void)callId; }
    virtual void DTMFInjectedCB(const unsigned long long& callId) { (void)callId; }
    virtual void DtmfDigitDetectedCB(const unsigned long long& callId, char digit) {
        (void)callId, (void)digit;
    }
    // 24-29: subscriptions
    virtual void SubscribeMNCB(const unsigned long long& id, const std::string& ext) {
        (void)id, (void)ext;
    }
    virtual void SubscribeDialogCB(const unsigned long long& id, const std::string& ext) {
        (void)id, (void)ext;
    }
    virtual void SubscribePresenceCB(const unsigned long long& id, const std::string& ext) {
        (void)id, (void)ext;
    }
    virtual void SubscribeCDRCB(const unsigned long long& id) { (void)id; }
    virtual void SubscribeCRCB(const unsigned long long& id) { (void)id; }
    virtual void UnsubscribeCB(const unsigned long long& id, int type) { (void)id, (void)type; }
    // 30: a received subscribe response
    virtual void SubscribeResponseCB(const unsigned long long& id, bool success, int kind) {
        (void)id, (void)success, (void)kind;
    }
    // 31
    virtual void SubscribeExtListCB(const unsigned long long& id) { (void)id; }
    // 32-36: received notifications
    virtual void ExtListArrivedCB(const unsigned long long& id, const std::list<Ext>& list) {
        (void)id, (void)list;
    }
    virtual void MailArrivedCB(const unsigned long long& id, const MailSettings& mail) {
        (void)id, (void)mail;
    }
    virtual void CDRArrivedCB(const unsigned long long& id, int kind, const RcCDR& cdr,
                              const CallStatistics* statistics) {
        (void)id, (void)kind, (void)cdr, (void)statistics;
    }
    virtual void DialogArrivedCB(const unsigned long long& id,
                                 const std::list<DialogParams>& dialogs) {
        (void)id, (void)dialogs;
    }
    virtual void PresenceArrivedCB(const unsigned long long& id, bool dnd) { (void)id, (void)dnd; }
    // 37: system information
    virtual void GetSystemInfoCB(const unsigned long long& id) { (void)id; }
    // 38: a received fault response
    virtual void FaultCB(const unsigned long long& id, int code, const std::string& text) {
        (void)id, (void)code, (void)text;
    }
    // 39-42: system services, with results
    virtual int GetWAVListCB(int type, const std::string& ext, std::list<std::string>* names) {
        (void)type, (void)ext, (void)names;
        return 0;
    }
    virtual int WAVFileDeleteCB(int type, const std::string& ext, const std::string& file) {
        (void)type, (void)ext, (void)file;
        return 0;
    }
    virtual int FileTransferCB(int type, const std::string& ext, const std::string& file,
                               const int& size, bool transfer, std::string& message) {
        (void)type, (void)ext, (void)file, (void)size, (void)transfer, (void)message;
        return 0;
    }
    virtual int ConfigurationUpdateCB(const std::string& file, int& size, bool flag,
                                      std::string& message) {
        (void)file, (void)size, (void)flag, (void)message;
        return 0;
    }

    virtual ~IRpcCallback() = default;
};
