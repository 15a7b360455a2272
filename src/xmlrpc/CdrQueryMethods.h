// The administrator's read of the call-detail record spool,
// "Services.SystemService.getcdrs": the request names the first sequence
// number and how many records at most; the answer carries the spool's state
// and the records, each with its sequence number and arrival time and the
// members of a cdrarrived record.
//
// Threads: like every method object, used by one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "xmlrpc/XmlRpcMethod.h"

// One record of an answer.
struct CdrQueryRow {
    unsigned long long seq = 0;
    long long arrived = 0;
    int kind = 0;
    RcCDR cdr;
};

// The spool's state in an answer.
struct CdrQueryStatus {
    std::string state;  // "ok", "failed" or "off"
    std::string error;
    unsigned long long last = 0;  // newest sequence number
    unsigned long long depth = 0;
    unsigned long long dropped = 0;
    unsigned long long bytes = 0;
    long long oldestAge = 0;
};

class GetCdrsMethod : public XmlRpcRequestMethod {
  public:
    // Most records one answer carries.
    static constexpr int kMaxRecords = 1000;

    GetCdrsMethod();
    bool SetParams(const unsigned long long& id, unsigned long long since, int count);
    // Carried out by the server itself.
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
    unsigned long long Since() const;
    // The count asked for, within 1..kMaxRecords (kMaxRecords when absent).
    int Count() const;
};

class GetCdrsResponseMethod : public XmlRpcResponseMethod {
  public:
    GetCdrsResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    void SetStatus(const CdrQueryStatus& status);
    void AddRecord(const CdrQueryRow& row);
    CdrQueryStatus Status() const;
    std::vector<CdrQueryRow> Records() const;
};
