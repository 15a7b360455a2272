#include "core/Call.h"

#include "base/StringUtils.h"
#include "core/ExtCallControl.h"
#include "xmlrpc/XmlRpcLog.h"

std::map<unsigned long long, Call*>& Call::mmapCalls = *new std::map<unsigned long long, Call*>;
ThreadMutex& Call::mMapMutex = *new ThreadMutex;

Call::Call(const unsigned long long& callId) : id(callId) {
    ThreadMutexLock lock(mMapMutex);
    // A second Call with an ID already registered takes the entry over.
    mmapCalls[id] = this;
    ExtCallControl::TRACEX("Call: Create. (C:%u) %llu\n", static_cast<unsigned>(mmapCalls.size()),
                           id);
}

Call::Call(const unsigned long long& callId, Carrier) : id(callId), registered(false) {}

Call::~Call() {
    if (!registered) {
        return;
    }
    ThreadMutexLock lock(mMapMutex);
    mmapCalls.erase(id);
    ExtCallControl::TRACEX("Call: Delete. (C:%u) %llu\n", static_cast<unsigned>(mmapCalls.size()),
                           id);
}

Call* Call::GetCall(unsigned long long callId) {
    mMapMutex.Lock();
    auto it = mmapCalls.find(callId);
    if (it == mmapCalls.end()) {
        mMapMutex.Unlock();
        return nullptr;
    }
    return it->second;
}

void Call::ReleaseCall() {
    mMapMutex.Unlock();
}

void Call::SendCallArrived(ExtCallType type, const std::string& ext, const CallParams& from,
                           const CallParams& to, const unsigned long long& origCallId) {
    if (listener != nullptr) {
        listener->CallArrived(this, type, ext, from, to, origCallId);
    }
}

void Call::SendStateChanged(ExtCallState state) {
    if (listener != nullptr) {
        listener->CallStateChanged(this, state);
    }
}

void Call::SendMessagePlayed() {
    if (listener != nullptr) {
        listener->MessagePlayed(this);
    }
}

void Call::SendDTMFInjected() {
    if (listener != nullptr) {
        listener->DTMFInjected(this);
    }
}

void Call::SendDtmfDigit(char digit) {
    if (listener != nullptr) {
        listener->DtmfDigit(this, digit);
    }
}

void Call::SendCallOriginated(ExtCallType type, const std::string& ext, const CallParams& from,
                              const CallParams& to, const std::string& pattern) {
    if (listener != nullptr) {
        listener->CallOriginated(this, type, ext, from, to, pattern);
    }
}

void Call::AuthenticateCB(const std::string& user, const std::string& password) {
    ExtCallControl::TRACEX("Call: AuthenticateCB. %s\n", StringUtils::EscapeControl(user).c_str());
    if (listener != nullptr) {
        listener->Authenticate(user, password);
    }
}

void Call::SecureAuthenticateCB(const std::string& user, const std::string& timeStamp,
                                const std::string& digest) {
    ExtCallControl::TRACEX("Call: Secure AuthenticateCB. user[%s], timestamp[%s], authstring[%s]\n",
                           StringUtils::EscapeControl(user).c_str(),
                           StringUtils::EscapeControl(timeStamp).c_str(),
                           SecretForLog(digest).c_str());
    if (listener != nullptr) {
        listener->SecureAuthenticate(user, timeStamp, digest);
    }
}

void Call::GetExtensionCB(const std::string& user) {
    ExtCallControl::TRACEX("Call: GetExtensionCB. %s\n", StringUtils::EscapeControl(user).c_str());
    if (listener != nullptr) {
        listener->GetExtension(user);
    }
}

void Call::IncomingCallHandlingCB(const std::string& ext, long enable) {
    ExtCallControl::TRACEX("Call: IncomingCallHandling. %llu\n", id);
    if (listener != nullptr) {
        listener->IncomingCallHandling(this, ext, enable);
    }
}

// The call commands go to the call manager through ExtCallControl, with the
// command's own call ID (not the Call's): a carrier may stand in for the call.

void Call::AcceptCB(const unsigned long long& callId, const std::string& callerId,
                    const std::string& displayName, long virtualAccept) {
    ExtCallControl::TRACEX("Call: Accept. VirtualAccept: %ld. %llu\n", virtualAccept, callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->AcceptCallReceived(callId, callerId, displayName,
                                                          virtualAccept);
    }
}

void Call::AcceptCRCB(const unsigned long long& callId, const unsigned long long& subscriberId) {
    ExtCallControl::TRACEX("Call: Accept. SubscrID: %llu, CallID: %llu\n", subscriberId, callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->AcceptCRCallReceived(callId, subscriberId);
    }
}

void Call::ForwardCB(const unsigned long long& callId, const std::list<CallParams>& targets,
                     const std::string& callerId, const std::string& displayName) {
    ExtCallControl::TRACEX("Call: Forward. %llu\n", callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->ForwardCallReceived(callId, targets, callerId, displayName);
    }
}

void Call::RejectCB(const unsigned long long& callId) {
    ExtCallControl::TRACEX("Call: Reject. %llu\n", callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->RejectCallReceived(callId);
    }
}

void Call::CreateCB(const unsigned long long& callId, const std::string& from, const CallParams& to,
                    const std::string& displayName) {
    ExtCallControl::TRACEX("Call: Create. from: %s, to: %s. display name: %s. %llu\n",
                           StringUtils::EscapeControl(from).c_str(),
                           StringUtils::EscapeControl(to.user).c_str(),
                           StringUtils::EscapeControl(displayName).c_str(), callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->CreateCallReceived(callId, from, to, displayName);
    }
}

void Call::CloseCB(const unsigned long long& callId) {
    ExtCallControl::TRACEX("Call: Close. %llu\n", callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->CloseCallReceived(callId);
    }
}

void Call::TransferCB(const unsigned long long& callId, const CallParams& to) {
    ExtCallControl::TRACEX("Call: Transfer. to: %s. %llu\n",
                           StringUtils::EscapeControl(to.user).c_str(), callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->TransferCallReceived(callId, to);
    }
}

void Call::JoinCB(const unsigned long long& callId, const unsigned long long& otherCallId) {
    ExtCallControl::TRACEX("Call: Join. callID: %llu. %llu\n", otherCallId, callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->JoinCallsReceived(callId, otherCallId);
    }
}

void Call::UnjoinCB(const unsigned long long& callId, const unsigned long long& otherCallId) {
    ExtCallControl::TRACEX("Call: Unjoin. callID: %llu. %llu\n", otherCallId, callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->UnjoinCallsReceived(callId, otherCallId);
    }
}

void Call::PlayMessageCB(const unsigned long long& callId, const std::string& file, int count) {
    ExtCallControl::TRACEX("Call: PlayMessage. messageFileName: %s, count: %d. %llu\n",
                           StringUtils::EscapeControl(file).c_str(), count, callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->PlayMessageReceived(callId, file, count);
    }
}

void Call::InjectDTMFCB(const unsigned long long& callId, const std::string& digits) {
    ExtCallControl::TRACEX("Call: InjectDTMF. keys: [%s]. %llu\n",
                           StringUtils::EscapeControl(digits).c_str(), callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->InjectDTMFReceived(callId, digits);
    }
}

void Call::EnableDtmfDetectionCB(const unsigned long long& callId, long enable) {
    ExtCallControl::TRACEX("Call: EnableDtmfDetectionCB. enable: %ld. %llu\n", enable, callId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->EnableDtmfDetectionReceived(callId, enable);
    }
}

void Call::GetSystemInfoCB(const unsigned long long& /*id*/) {
    ExtCallControl::TRACEX("Call: GetSystemInfoCB.\n");
    if (listener != nullptr) {
        listener->GetSystemInfo(this);
    }
}

int Call::GetWAVListCB(int type, const std::string& ext, std::list<std::string>* names) {
    ExtCallControl::TRACEX("Call: GetWAVListCB.\n");
    return listener != nullptr ? listener->GetWAVList(type, ext, names) : 0;
}

int Call::WAVFileDeleteCB(int type, const std::string& ext, const std::string& file) {
    ExtCallControl::TRACEX("Call: WAVFileDeleteCB.\n");
    return listener != nullptr ? listener->WAVFileDelete(type, ext, file) : 0;
}

int Call::FileTransferCB(int type, const std::string& ext, const std::string& file, const int& size,
                         bool transfer, std::string& message) {
    ExtCallControl::TRACEX("Call: FileTransferCB.\n");
    return listener != nullptr ? listener->FileTransfer(type, ext, file, size, transfer, message)
                               : 0;
}

int Call::ConfigurationUpdateCB(const std::string& file, int& size, bool flag,
                                std::string& message) {
    ExtCallControl::TRACEX("Call: ConfigurationUpdateCB.: file  %s,   size: %d \n",
                           StringUtils::EscapeControl(file).c_str(), size);
    return listener != nullptr ? listener->ConfigurationUpdate(file, size, flag, message) : 0;
}
