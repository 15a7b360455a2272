// Subscription and notification methods: subscribe and unsubscribe requests,
// the subscription answer, and the notifications the daemon sends to a
// subscriber (mail, dialogs, presence, extension list, call-detail records).
//
// Threads: like every method object, used by one thread at a time.
#pragma once

#include <ctime>
#include <list>
#include <string>

#include "xmlrpc/XmlRpcMethod.h"

class SubscribeMethod : public XmlRpcRequestMethod {
  public:
    SubscribeMethod();
    // One builder per kind; kinds 1, 3 and 4 name an extension.
    bool SetParamsMN(const unsigned long long& id, const std::string& ext);
    bool SetParamsCDR(const unsigned long long& id);
    bool SetParamsDialog(const unsigned long long& id, const std::string& ext);
    bool SetParamsPresence(const unsigned long long& id, const std::string& ext);
    bool SetParamsCR(const unsigned long long& id);
    bool SetParamsExtList(const unsigned long long& id);
    // The kind carried, 0 when none.
    int GetSubType() const;
    // The "extension" member of the options, empty when there is none.
    std::string GetExtension() const;
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;

  private:
    bool SetKind(const unsigned long long& id, int kind, const std::string* ext);
};

// The kind is not sent: the receiver sets it before Execute.
class UnsubscribeMethod : public XmlRpcRequestMethod {
  public:
    UnsubscribeMethod();
    bool SetParams(const unsigned long long& id);
    void SetSubType(int kind) { mnSubType = kind; }
    int GetSubType() const { return mnSubType; }
    void Execute(IRpcCallback& target) override;

  private:
    int mnSubType = 0;
};

class SubscribeResponseMethod : public XmlRpcResponseMethod {
  public:
    SubscribeResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    bool SetParams(const unsigned long long& id, bool success, int kind);
    void Execute(IRpcCallback& target) override;
};

class MailArrivedMethod : public XmlRpcRequestMethod {
  public:
    MailArrivedMethod();
    // False, setting nothing, when `from` cannot be written as text.
    bool SetParams(const unsigned long long& id, const CallParams& from, time_t arrival,
                   int duration, int mailId);
    void Execute(IRpcCallback& target) override;
};

// Every builder call appends one dialog; members at their defaults are left out.
class DialogArrivedMethod : public XmlRpcRequestMethod {
  public:
    DialogArrivedMethod();
    bool SetParams(const unsigned long long& id, const std::string& callId, int direction,
                   int dialogState, int event, int duration, const std::string& replaces,
                   int callState, const std::string& referredBy, const std::string& local,
                   const std::string& remote, int callType);
    void Execute(IRpcCallback& target) override;
};

class PresenceArrivedMethod : public XmlRpcRequestMethod {
  public:
    PresenceArrivedMethod();
    bool SetParams(const unsigned long long& id, bool dnd);
    void Execute(IRpcCallback& target) override;
};

class ExtListArrivedMethod : public XmlRpcRequestMethod {
  public:
    ExtListArrivedMethod();
    bool SetParams(const unsigned long long& id, const std::list<Ext>& extensions);
    void Execute(IRpcCallback& target) override;
};

class CDRArrivedMethod : public XmlRpcRequestMethod {
  public:
    CDRArrivedMethod();
    // The record type and the record.
    bool SetParams(const unsigned long long& id, int kind, const RcCDR& cdr);
    // The media statistics, codecs given by name; only when there are any.
    bool SetStatistics(int rtpTxPack, const std::string& rtpTxCodec, int rtpTxPackSz, int rtpRxPack,
                       const std::string& rtpRxCodec, int rtpRxPackSz, int rtpRxLost,
                       int rtpRxJitter, int rtpRxMaxDelay, int rtpDelayIncCount,
                       int rtpDelayDecCount, int faxTxPack, int faxTxDublePack, int faxRxPack,
                       int faxRxLost, int faxRxBad, int faxRxDublePack);
    // The same from a statistics record, codec numbers named by the media library.
    bool SetStatistics(const CallStatistics& statistics);
    void Execute(IRpcCallback& target) override;
    // The record's sequence number in the CDR spool (0: not spooled); kept
    // beside the request, never written.
    void SetSpoolSeq(unsigned long long seq) { mnSpoolSeq = seq; }
    unsigned long long SpoolSeq() const { return mnSpoolSeq; }

  private:
    unsigned long long mnSpoolSeq = 0;
};
