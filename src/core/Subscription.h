// One client's standing order for a kind of event (call-detail records, call
// routing, mailbox, dialog or presence state of an extension, the extension
// list), identified by the client's 64-bit subscription ID. Towards the client
// it is the IRpcCallback target of subscribe/unsubscribe; its listener (the
// client's connection) receives the notifications.
//
// Threads: created and deleted on the connection thread (and deleted on the
// main thread by an error of the notification service). The registry
// (mmapSubscriptions) is guarded by mMapLock, a re-entrant lock held from
// GetSubscription until ReleaseSubscription, across the listener's
// notification. `acceptedCallID` is read and written only under mMapLock.
#pragma once

#include <list>
#include <map>

#include "base/ThreadMutex.h"
#include "core/ISubscriptionNotify.h"
#include "core/RegistryRef.h"
#include "xmlrpc/IRpcCallback.h"

class Subscription : public IRpcCallback {
  public:
    Subscription(const unsigned long long& id, SubscriptionType type,
                 ISubscriptionNotify* listener);
    ~Subscription() override;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // The registered Subscription with this ID, with the registry left locked;
    // or null with the registry unlocked. Pair every non-null result with
    // ReleaseSubscription (or use SubscriptionRef).
    static Subscription* GetSubscription(unsigned long long id);
    static void ReleaseSubscription();

    // IDs of every CDR (type 2) or CR (type 5) subscription, ascending; true
    // when there is at least one.
    static bool GetCDRSubscriptions(std::list<unsigned long long>& ids);
    static bool GetCRSubscriptions(std::list<unsigned long long>& ids);

    const unsigned long long& GetID() const { return id; }
    SubscriptionType GetType() const { return type; }
    ISubscriptionNotify* GetListener() const { return listener; }
    unsigned long long acceptedCallID = 0;

    // Event senders; each does nothing without a listener.
    void SendMailArrived(const MailSettings& mail);
    void SendCDRArrived(int type, const RcCDR& cdr, const CallStatistics* statistics);
    void SendCallOriginated(const unsigned long long& callId, ExtCallType type,
                            const std::string& ext, const CallParams& from, const CallParams& to,
                            const std::string& pattern);
    void SendDialogArrived(const std::list<DialogParams>& dialogs);
    void SendPresenceArrived(long state);
    void SendExtListArrived(const std::list<Ext>& extensions);
    void SendConfirm();
    void SendErrorConvey(const PUAErrorCode& error);

    // IRpcCallback: subscribe and unsubscribe commands.
    void SubscribeMNCB(const unsigned long long& id, const std::string& ext) override;
    void SubscribeDialogCB(const unsigned long long& id, const std::string& ext) override;
    void SubscribePresenceCB(const unsigned long long& id, const std::string& ext) override;
    void SubscribeCDRCB(const unsigned long long& id) override;
    void SubscribeCRCB(const unsigned long long& id) override;
    void UnsubscribeCB(const unsigned long long& id, int type) override;
    void SubscribeExtListCB(const unsigned long long& id) override;

    // Registry of every live Subscription by ID; entries are not owned. Never
    // destroyed (see Call::mmapCalls).
    static std::map<unsigned long long, Subscription*>& mmapSubscriptions;
    static ThreadMutex& mMapLock;

  private:
    static bool ListByType(SubscriptionType wanted, std::list<unsigned long long>& ids);

    const unsigned long long id;
    const SubscriptionType type;
    ISubscriptionNotify* const listener;
};

using SubscriptionRef =
    RegistryRef<Subscription, &Subscription::GetSubscription, &Subscription::ReleaseSubscription>;
