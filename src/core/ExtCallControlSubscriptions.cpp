// The subscription half of ExtCallControl: subscribe and unsubscribe commands
// of clients, and the notification service's confirmations, notifications and
// errors delivered to the subscriptions.
#include "base/StringUtils.h"
#include "config/CdrSpool.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"

namespace {

// The request record: every field empty, the user field holding the extension.
CallParams SubscriptionRecord(const std::string& ext) {
    CallParams record;
    record.Reset();
    record.user = ext;
    return record;
}

}  // namespace

void ExtCallControl::SubscribeCDRReceived() {
    TRACEX("ExtCallControl. SubscribeCDRReceived.\n");
    SubscribeToCDR(1);
}

void ExtCallControl::SubscribeCRReceived() {
    TRACEX("ExtCallControl. SubscribeCRReceived.\n");
    SubscribeToCR(1);
}

void ExtCallControl::SubscribeMNReceived(const unsigned long long& id, const std::string& ext) {
    const CallParams record = SubscriptionRecord(ext);
    TRACEX("ExtCallControl. SubscribeMNReceived. extensionName: %s. %llu\n",
           StringUtils::EscapeControl(ext).c_str(), id);
    if (ANSubscribe(PUAPackageType_MN, record, record, id) == 0) {
        TRACEX(
            "<ERROR> ExtCallControl. SubscribeMNReceived. ANSubscribe returned IPC_FAILURE... "
            "%llu\n",
            id);
        OnErrorConvey(id, PUAErrorCode{});
    }
}

void ExtCallControl::SubscribeDialogReceived(const unsigned long long& id, const std::string& ext) {
    const CallParams record = SubscriptionRecord(ext);
    TRACEX("ExtCallControl. SubscribeDialogReceived. extensionName: %s. %llu\n",
           StringUtils::EscapeControl(ext).c_str(), id);
    if (ANSubscribe(PUAPackageType_Dialog, record, record, id) == 0) {
        TRACEX(
            "<ERROR> ExtCallControl. SubscribeDialogReceived. ANSubscribe returned IPC_FAILURE... "
            "%llu\n",
            id);
        OnErrorConvey(id, PUAErrorCode{});
    }
}

void ExtCallControl::SubscribePresenceReceived(const unsigned long long& id,
                                               const std::string& ext) {
    const CallParams record = SubscriptionRecord(ext);
    TRACEX("ExtCallControl. SubscribePresenceReceived. extensionName: %s. %llu\n",
           StringUtils::EscapeControl(ext).c_str(), id);
    if (ANSubscribe(PUAPackageType_Presence, record, record, id) == 0) {
        TRACEX(
            "<ERROR> ExtCallControl. SubscribePresenceReceived. ANSubscribe returned "
            "IPC_FAILURE... %llu\n",
            id);
        OnErrorConvey(id, PUAErrorCode{});
    }
}

void ExtCallControl::SubscribeExtListReceived(const unsigned long long& id) {
    const CallParams record = SubscriptionRecord("");
    TRACEX("ExtCallControl. SubscribeExtListReceived %llu\n", id);
    if (ANSubscribe(PUAPackageType_ExtList, record, record, id) == 0) {
        TRACEX(
            "<ERROR> ExtCallControl. SubscribeExtListReceived. ANSubscribe returned "
            "IPC_FAILURE... %llu\n",
            id);
        OnErrorConvey(id, PUAErrorCode{});
    }
}

void ExtCallControl::UnsubscribeReceived(const unsigned long long& id, int type) {
    TRACEX("ExtCallControl. UnsubscribeReceived. type[%d]. %llu\n", type, id);
    switch (type) {
        case SubscriptionType_CDR:
            if (!CdrSpool::Instance().Enabled()) {  // the spool takes every record
                SubscribeToCDR(0);
            }
            break;
        case SubscriptionType_CR:
            SubscribeToCR(0);
            break;
        case SubscriptionType_MN:
        case SubscriptionType_Dialog:
        case SubscriptionType_Presence:
        case SubscriptionType_ExtList:
            if (ANUnsubscribe(id) == 0) {
                TRACEX(
                    "<ERROR> ExtCallControl. UnsubscribeReceived. ANUnsubscribe returned "
                    "IPC_FAILURE... %llu\n",
                    id);
            }
            break;
        default:
            break;
    }
}

int ExtCallControl::OnANSubscribe(const unsigned long long& /*subscriptionId*/, int /*result*/) {
    return 0;
}

int ExtCallControl::OnANUnsubscribe(const unsigned long long& /*subscriptionId*/, int /*result*/) {
    return 0;
}

int ExtCallControl::OnMNNotify(const unsigned long long& subscriptionId, const MailSettings& mail) {
    SubscriptionRef s(subscriptionId);
    if (!s) {
        TRACEX("ERROR. ExtCallControl. OnANNotify. No such subscription ID...%llu\n",
               subscriptionId);
        return 0;
    }
    TRACEX("ExtCallControl. OnANNotify. mailID: %lu. %llu\n", mail.mailId, subscriptionId);
    s->SendMailArrived(mail);
    return 1;
}

int ExtCallControl::OnDialogNotify(const unsigned long long& subscriptionId,
                                   const std::list<DialogParams>& dialogs) {
    SubscriptionRef s(subscriptionId);
    if (!s) {
        TRACEX("ERROR. ExtCallControl. OnANNotify. No such subscription ID...%llu\n",
               subscriptionId);
        return 0;
    }
    TRACEX("ExtCallControl. OnDialogNotify. callID:  %llu\n", subscriptionId);
    s->SendDialogArrived(dialogs);
    return 1;
}

int ExtCallControl::OnExtListNotify(const unsigned long long& subscriptionId,
                                    const std::list<Ext>& extensions) {
    SubscriptionRef s(subscriptionId);
    if (!s) {
        TRACEX("ERROR. ExtCallControl. OnANNotify. No such subscription ID...%llu\n",
               subscriptionId);
        return 0;
    }
    TRACEX("ExtCallControl. OnExtListNotify. subID:  %llu\n", subscriptionId);
    s->SendExtListArrived(extensions);
    return 1;
}

int ExtCallControl::OnPresenceNotify(const unsigned long long& subscriptionId, long state) {
    SubscriptionRef s(subscriptionId);
    if (!s) {
        TRACEX("ERROR. ExtCallControl. OnANNotify. No such subscription ID...%llu\n",
               subscriptionId);
        return 0;
    }
    TRACEX("ExtCallControl. OnPresenceNotify. DND: %s. %llu\n", state != 0 ? "TRUE" : "FALSE",
           subscriptionId);
    s->SendPresenceArrived(state);
    return 1;
}

int ExtCallControl::OnConfirm(const unsigned long long& subscriptionId) {
    SubscriptionRef s(subscriptionId);
    if (!s) {
        TRACEX("ERROR. ExtCallControl. OnConfirm. No such subscription ID...%llu\n",
               subscriptionId);
        return 0;
    }
    TRACEX("ExtCallControl. OnConfirm. %llu\n", subscriptionId);
    s->SendConfirm();
    return 1;
}

int ExtCallControl::OnErrorConvey(const unsigned long long& subscriptionId,
                                  const PUAErrorCode& error) {
    SubscriptionRef s(subscriptionId);
    if (!s) {
        TRACEX("ERROR. ExtCallControl. OnErrorConvey. No such subscription ID...%llu\n",
               subscriptionId);
        return 0;
    }
    TRACEX("ExtCallControl. OnErrorConvey. ErrorCode: %d. %llu\n", error.errorCode, subscriptionId);
    s->SendErrorConvey(error);
    return 1;
}

int ExtCallControl::OnANPartyStateChanged(bool connected) {
    TRACEX("ExtCallControl. OnANPartyStateChanged. %s\n", connected ? "connected" : "disconnected");
    return 0;
}
