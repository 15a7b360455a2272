// Listener of a Subscription: the client connection that made it. Slot order is
// part of the interface.
//
// Threads: notifications arrive on the main thread under the subscription
// registry lock; Confirm also on the connection thread (CR and CDR subscribe).
#pragma once

#include <list>
#include <string>

#include "exchange/MessagingTypes.h"
#include "xmlrpc/SubscriptionType.h"

class Subscription;

class ISubscriptionNotify {
  public:
    virtual void MailArrived(Subscription* s, const MailSettings& mail) { (void)s, (void)mail; }
    virtual void CDRArrived(Subscription* s, int kind, const RcCDR& cdr,
                            const CallStatistics* statistics) {
        (void)s, (void)kind, (void)cdr, (void)statistics;
    }
    virtual void CallOriginated(const unsigned long long& callId, ExtCallType type,
                                const std::string& ext, const CallParams& from,
                                const CallParams& to, const std::string& pattern) {
        (void)callId, (void)type, (void)ext, (void)from, (void)to, (void)pattern;
    }
    virtual void DialogArrived(Subscription* s, const std::list<DialogParams>& dialogs) {
        (void)s, (void)dialogs;
    }
    virtual void PresenceArrived(Subscription* s, long state) { (void)s, (void)state; }
    virtual void ExtListArrived(Subscription* s, const std::list<Ext>& extensions) {
        (void)s, (void)extensions;
    }
    virtual void Confirm(Subscription* s) { (void)s; }
    virtual void ErrorConvey(Subscription* s, const PUAErrorCode& error) { (void)s, (void)error; }

  protected:
    ~ISubscriptionNotify() = default;
};
