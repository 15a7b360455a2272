// Records and codes of the exchange's messaging library: what the call manager
// and the notification service send and receive. Plain values, copied freely.
#pragma once

#include <ctime>
#include <list>
#include <string>

// Call type of the call manager; codes 0 to 5 coincide with the call-party kinds
// (pbx, sip, pstn, tel, ar, vm). Any other int may arrive and is carried unchanged.
enum ExtCallType : int {
    ExtCallType_PBX = 0,
    ExtCallType_SIP = 1,
    ExtCallType_PSTN = 2,
    ExtCallType_TEL = 3,
    ExtCallType_AR = 4,
    ExtCallType_VM = 5,
};

// Call state of the call manager. The daemon gives meaning only to the two codes
// that end a call; every other int is carried unchanged.
enum ExtCallState : int {
    ExtCallState_Disconnected = 3,
    ExtCallState_Failed = 6,
};

// Package of a notification-service subscription.
enum PUAPackageType : int {
    PUAPackageType_MN = 1,        // mailbox
    PUAPackageType_Dialog = 2,    // dialog state
    PUAPackageType_Presence = 3,  // presence (do-not-disturb)
    PUAPackageType_ExtList = 4,   // extension list
};

// Configuration update announced by the call manager that re-reads the settings.
constexpr int UpdateType_CallPolicy = 4192;

// A call party: ten text fields, then the type word (party kind in the low 31
// bits; the top bit marks a message taker in a forward list).
struct CallParams {
    std::string user;         // 1: number, extension or SIP user part
    std::string userSuffix;   // 2: voice-mail suffix (after ';')
    std::string sipName;      // 3: SIP display name
    std::string displayName;  // 4: caller display name
    std::string host;         // 5: SIP host
    std::string port;         // 6: SIP port
    std::string transport;    // 7
    std::string tag;          // 8
    std::string contact;      // 9
    std::string extra;        // 10
    unsigned int type = 0;

    void Reset() { *this = CallParams(); }
    bool operator==(const CallParams& o) const {
        return user == o.user && userSuffix == o.userSuffix && sipName == o.sipName &&
               displayName == o.displayName && host == o.host && port == o.port &&
               transport == o.transport && tag == o.tag && contact == o.contact &&
               extra == o.extra && type == o.type;
    }
};

constexpr unsigned int kCallParamsMsgTakerBit = 0x80000000u;

// Call-detail record.
struct RcCDR {
    long long startTime = 0;  // seconds since the epoch, written in decimal
    int duration = 0;
    std::string calledUser;
    std::string callingUser;
    std::string from;
    std::string to;
    std::string callGuid;
    std::string details;
    bool cirCaller = false;
    bool operator==(const RcCDR& o) const {
        return startTime == o.startTime && duration == o.duration && calledUser == o.calledUser &&
               callingUser == o.callingUser && from == o.from && to == o.to &&
               callGuid == o.callGuid && details == o.details && cirCaller == o.cirCaller;
    }
};

// Media statistics of a call; the two codec fields are DSP codec numbers.
struct CallStatistics {
    int rtpTxPack = 0;
    int rtpTxCodec = 0;
    int rtpTxPackSz = 0;
    int rtpRxPack = 0;
    int rtpRxCodec = 0;
    int rtpRxPackSz = 0;
    int rtpRxLost = 0;
    int rtpRxJitter = 0;
    int rtpRxMaxDelay = 0;
    int rtpDelayIncCount = 0;
    int rtpDelayDecCount = 0;
    int faxTxPack = 0;
    int faxTxDublePack = 0;
    int faxRxPack = 0;
    int faxRxLost = 0;
    int faxRxBad = 0;
    int faxRxDublePack = 0;
    bool operator==(const CallStatistics& o) const;
};

// A voice-mail notification.
struct MailSettings {
    CallParams from;
    long long arrival = 0;  // seconds since the epoch
    int duration = 0;
    unsigned long mailId = 0;
    bool operator==(const MailSettings& o) const {
        return from == o.from && arrival == o.arrival && duration == o.duration &&
               mailId == o.mailId;
    }
};

// A SIP name-addr in four parts.
struct NameAddr {
    std::string name;
    std::string user;
    std::string host;
    std::string port;
    bool operator==(const NameAddr& o) const {
        return name == o.name && user == o.user && host == o.host && port == o.port;
    }
};

// One dialog of a dialog notification, members in the library's order.
struct DialogParams {
    unsigned long long callId = 0;
    int direction = 0;
    int event = 0;
    int dialogState = 0;
    int duration = 0;
    unsigned long long replacesId = 0;
    NameAddr referredBy;
    NameAddr local;
    NameAddr remote;
    int callType = 0;
    int callState = 0;
    bool operator==(const DialogParams& o) const {
        return callId == o.callId && direction == o.direction && event == o.event &&
               dialogState == o.dialogState && duration == o.duration &&
               replacesId == o.replacesId && referredBy == o.referredBy && local == o.local &&
               remote == o.remote && callType == o.callType && callState == o.callState;
    }
};

// One entry of the extension list.
struct Ext {
    std::string ext;
    std::string display;
    std::string sipAddress;
    int type = 0;
    int line = 0;
    bool operator==(const Ext& o) const {
        return ext == o.ext && display == o.display && sipAddress == o.sipAddress &&
               type == o.type && line == o.line;
    }
};

// Error reported by the notification service for a subscription.
struct PUAErrorCode {
    int errorCode = 0;
    bool operator==(const PUAErrorCode& o) const { return errorCode == o.errorCode; }
};

inline bool CallStatistics::operator==(const CallStatistics& o) const {
    return rtpTxPack == o.rtpTxPack && rtpTxCodec == o.rtpTxCodec && rtpTxPackSz == o.rtpTxPackSz &&
           rtpRxPack == o.rtpRxPack && rtpRxCodec == o.rtpRxCodec && rtpRxPackSz == o.rtpRxPackSz &&
           rtpRxLost == o.rtpRxLost && rtpRxJitter == o.rtpRxJitter &&
           rtpRxMaxDelay == o.rtpRxMaxDelay && rtpDelayIncCount == o.rtpDelayIncCount &&
           rtpDelayDecCount == o.rtpDelayDecCount && faxTxPack == o.faxTxPack &&
           faxTxDublePack == o.faxTxDublePack && faxRxPack == o.faxRxPack &&
           faxRxLost == o.faxRxLost && faxRxBad == o.faxRxBad && faxRxDublePack == o.faxRxDublePack;
}
