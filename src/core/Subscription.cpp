#include "core/Subscription.h"

#include "base/StringUtils.h"
#include "core/ExtCallControl.h"

std::map<unsigned long long, Subscription*>& Subscription::mmapSubscriptions =
    *new std::map<unsigned long long, Subscription*>;
ThreadMutex& Subscription::mMapLock = *new ThreadMutex;

Subscription::Subscription(const unsigned long long& subscriptionId, SubscriptionType kind,
                           ISubscriptionNotify* notify)
    : id(subscriptionId), type(kind), listener(notify) {
    ThreadMutexLock lock(mMapLock);
    mmapSubscriptions[id] = this;
    ExtCallControl::TRACEX("Subscription: Create. (C:%u) %llu\n",
                           static_cast<unsigned>(mmapSubscriptions.size()), id);
}

Subscription::~Subscription() {
    ThreadMutexLock lock(mMapLock);
    mmapSubscriptions.erase(id);
    ExtCallControl::TRACEX("Subscription: Delete. (C:%u) %llu\n",
                           static_cast<unsigned>(mmapSubscriptions.size()), id);
}

Subscription* Subscription::GetSubscription(unsigned long long subscriptionId) {
    ExtCallControl::TRACEX("Subscription::GetSubscription\n");
    mMapLock.Lock();
    auto it = mmapSubscriptions.find(subscriptionId);
    if (it == mmapSubscriptions.end()) {
        mMapLock.Unlock();
        return nullptr;
    }
    return it->second;
}

void Subscription::ReleaseSubscription() {
    mMapLock.Unlock();
}

bool Subscription::ListByType(SubscriptionType wanted, std::list<unsigned long long>& ids) {
    ThreadMutexLock lock(mMapLock);
    ids.clear();
    for (const auto& entry : mmapSubscriptions) {
        if (entry.second->type == wanted) {
            ids.push_back(entry.first);
        }
    }
    return !ids.empty();
}

bool Subscription::GetCDRSubscriptions(std::list<unsigned long long>& ids) {
    return ListByType(SubscriptionType_CDR, ids);
}

bool Subscription::GetCRSubscriptions(std::list<unsigned long long>& ids) {
    return ListByType(SubscriptionType_CR, ids);
}

void Subscription::SendMailArrived(const MailSettings& mail) {
    if (listener != nullptr) {
        listener->MailArrived(this, mail);
    }
}

void Subscription::SendCDRArrived(int kind, const RcCDR& cdr, const CallStatistics* statistics) {
    if (listener != nullptr) {
        listener->CDRArrived(this, kind, cdr, statistics);
    }
}

void Subscription::SendCallOriginated(const unsigned long long& callId, ExtCallType callType,
                                      const std::string& ext, const CallParams& from,
                                      const CallParams& to, const std::string& pattern) {
    if (listener != nullptr) {
        listener->CallOriginated(callId, callType, ext, from, to, pattern);
    }
}

void Subscription::SendDialogArrived(const std::list<DialogParams>& dialogs) {
    ExtCallControl::TRACEX("Subscription::SendDialogArrived\n");
    if (listener != nullptr) {
        listener->DialogArrived(this, dialogs);
    }
}

void Subscription::SendPresenceArrived(long state) {
    if (listener != nullptr) {
        listener->PresenceArrived(this, state);
    }
}

void Subscription::SendExtListArrived(const std::list<Ext>& extensions) {
    ExtCallControl::TRACEX("Subscription::SendExtListArrived\n");
    if (listener != nullptr) {
        listener->ExtListArrived(this, extensions);
    }
}

void Subscription::SendConfirm() {
    if (listener != nullptr) {
        listener->Confirm(this);
    }
}

void Subscription::SendErrorConvey(const PUAErrorCode& error) {
    if (listener != nullptr) {
        listener->ErrorConvey(this, error);
    }
}

void Subscription::SubscribeMNCB(const unsigned long long& subscriptionId, const std::string& ext) {
    ExtCallControl::TRACEX("Subscription: SubscribeMNCB. extension: %s. %llu\n",
                           StringUtils::EscapeControl(ext).c_str(), subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->SubscribeMNReceived(subscriptionId, ext);
    }
}

void Subscription::SubscribeDialogCB(const unsigned long long& subscriptionId,
                                     const std::string& ext) {
    ExtCallControl::TRACEX("Subscription: SubscribeDialogCB. extension: %s. %llu\n",
                           StringUtils::EscapeControl(ext).c_str(), subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->SubscribeDialogReceived(subscriptionId, ext);
    }
}

void Subscription::SubscribePresenceCB(const unsigned long long& subscriptionId,
                                       const std::string& ext) {
    ExtCallControl::TRACEX("Subscription: SubscribePresenceCB. extension: %s. %llu\n",
                           StringUtils::EscapeControl(ext).c_str(), subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->SubscribePresenceReceived(subscriptionId, ext);
    }
}

void Subscription::SubscribeCDRCB(const unsigned long long& subscriptionId) {
    ExtCallControl::TRACEX("Subscription: SubscribeCDRCB. %llu\n", subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->SubscribeCDRReceived();
    }
}

void Subscription::SubscribeCRCB(const unsigned long long& subscriptionId) {
    ExtCallControl::TRACEX("Subscription: SubscribeCRCB. %llu\n", subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->SubscribeCRReceived();
    }
}

void Subscription::UnsubscribeCB(const unsigned long long& subscriptionId, int kind) {
    ExtCallControl::TRACEX("Subscription: UnsubscribeCB. type [%d]. %llu\n", kind, subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->UnsubscribeReceived(subscriptionId, kind);
    }
}

void Subscription::SubscribeExtListCB(const unsigned long long& subscriptionId) {
    ExtCallControl::TRACEX("Subscription: SubscribeExtListCB. %llu\n", subscriptionId);
    if (ExtCallControl::mpCallControl != nullptr) {
        ExtCallControl::mpCallControl->SubscribeExtListReceived(subscriptionId);
    }
}
