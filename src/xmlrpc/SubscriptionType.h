#pragma once

// Kind of a subscription; the values travel on the wire as the subscribe kind.
enum SubscriptionType : int {
    SubscriptionType_MN = 1,
    SubscriptionType_CDR = 2,
    SubscriptionType_Dialog = 3,
    SubscriptionType_Presence = 4,
    SubscriptionType_CR = 5,
    SubscriptionType_ExtList = 6,
};
