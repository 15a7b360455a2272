// Listener of a Call: receives the call's events and the system-service
// commands that a Call passes on. Implemented by CallControlService (a client
// connection) and CallPolicyService (the policy client). Every operation has an
// empty default; those with results return 0. Slot order is part of the interface.
//
// Threads: call events arrive on the main thread under the call registry lock;
// system-service operations on the connection thread.
#pragma once

#include <list>
#include <string>

#include "exchange/MessagingTypes.h"

class Call;

class ICallNotify {
  public:
    virtual void Authenticate(const std::string& user, const std::string& password) {
        (void)user, (void)password;
    }
    virtual void SecureAuthenticate(const std::string& user, const std::string& timeStamp,
                                    const std::string& digest) {
        (void)user, (void)timeStamp, (void)digest;
    }
    virtual void GetExtension(const std::string& user) { (void)user; }
    virtual void IncomingCallHandling(Call* carrier, const std::string& ext, long enable) {
        (void)carrier, (void)ext, (void)enable;
    }
    virtual void CallArrived(Call* call, ExtCallType type, const std::string& ext,
                             const CallParams& from, const CallParams& to,
                             const unsigned long long& origCallId) {
        (void)call, (void)type, (void)ext, (void)from, (void)to, (void)origCallId;
    }
    virtual void CallOriginated(Call* call, ExtCallType type, const std::string& ext,
                                const CallParams& from, const CallParams& to,
                                const std::string& pattern) {
        (void)call, (void)type, (void)ext, (void)from, (void)to, (void)pattern;
    }
    virtual void CallStateChanged(Call* call, ExtCallState state) { (void)call, (void)state; }
    virtual void MessagePlayed(Call* call) { (void)call; }
    virtual void DTMFInjected(Call* call) { (void)call; }
    virtual void DtmfDigit(Call* call, char digit) { (void)call, (void)digit; }
    virtual void GetSystemInfo(Call* call) { (void)call; }
    virtual int GetWAVList(int type, const std::string& ext, std::list<std::string>* names) {
        (void)type, (void)ext, (void)names;
        return 0;
    }
    virtual int WAVFileDelete(int type, const std::string& ext, const std::string& file) {
        (void)type, (void)ext, (void)file;
        return 0;
    }
    virtual int FileTransfer(int type, const std::string& ext, const std::string& file,
                             const int& size, bool transfer, std::string& message) {
        (void)type, (void)ext, (void)file, (void)size, (void)transfer, (void)message;
        return 0;
    }
    virtual int ConfigurationUpdate(const std::string& file, int& size, bool flag,
                                    std::string& message) {
        (void)file, (void)size, (void)flag, (void)message;
        return 0;
    }

  protected:
    // Listeners are never deleted through this interface.
    ~ICallNotify() = default;
};
