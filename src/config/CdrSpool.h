// The durable spool of call-detail records: every record the call manager
// delivers is committed here (SQLite, WAL journal, one file created 0600) under
// a 64-bit sequence number before any client sees it, and stays until the
// retention limits (age, count, bytes) remove it. A consumer is one CDR
// subscription by (account, subscription ID); its acknowledgements are kept per
// record, so that it resumes after a disconnect or a restart where it left off.
// A consumer seen for the first time starts with every retained record that no
// consumer has acknowledged (docs/cdr-spool.md).
//
// Threads: Append, Flush, Open, Close and SetLimits run on the main thread;
// OpenConsumer, Next, Ack and FlushAcks on the connection thread; Range, the
// state and the counters on any thread. mMutex guards everything below it,
// the database handle included; it is held across one commit at most and is
// innermost but for the log's lock (the log sink is called under it).
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/ThreadMutex.h"
#include "config/ConfigSqlite.h"
#include "exchange/MessagingTypes.h"

// One record as the spool holds it.
struct SpooledCdr {
    unsigned long long seq = 0;  // 0: not spooled (delivered live only)
    long long arrived = 0;       // seconds since the epoch when it was taken
    int kind = 0;                // the call manager's CDR type
    RcCDR cdr;
    std::optional<CallStatistics> statistics;
};

struct CdrSpoolLimits {
    long long maxAgeSeconds = 31LL * 24 * 3600;  // <= 0: no age limit
    long long maxRecords = 1000000;              // <= 0: no count limit
    long long maxBytes = 512LL * 1024 * 1024;    // payload bytes; <= 0: no limit
};

class CdrSpool {
  public:
    using LogSink = void (*)(const char* line);  // lines end in "\n"

    CdrSpool() = default;
    ~CdrSpool();
    CdrSpool(const CdrSpool&) = delete;
    CdrSpool& operator=(const CdrSpool&) = delete;

    // The process's spool (the daemon's; tests make their own).
    static CdrSpool& Instance();
    // <root>/var/spool/valtd/cdr.db
    static std::string DefaultPath();
    // Where the spool's log lines go (none by default).
    static void SetLogSink(LogSink sink);
    // Called (any thread, no lock held) after a commit that added records:
    // the control server wakes its connection thread with it.
    static void SetCommitHook(void (*hook)());

    // Opens (or creates) the spool at `path` with `limits`. On failure the
    // spool stays enabled but failing: Append hands records back for live
    // delivery, the failure is logged once a minute and opening is retried
    // by Flush. False when it failed.
    bool Open(const std::string& path, const CdrSpoolLimits& limits);
    // Commits what is pending and closes; the spool is then disabled.
    void Close();
    void SetLimits(const CdrSpoolLimits& limits);
    bool Enabled() const;
    // Counts the Open calls: a subscription made while the spool was off
    // becomes a consumer when this changes.
    unsigned Generation() const { return mGeneration.load(); }
    // Open and working.
    bool Healthy() const;
    // The last failure ("" when healthy).
    std::string LastError() const;

    // Main thread. Takes a record for the next commit.
    void Append(int kind, const RcCDR& cdr, const CallStatistics* statistics, long long now);
    bool HasPending() const;
    // Commits the records taken since the last commit, and pending
    // acknowledgements, in one transaction, then applies retention. Returns
    // the records that could not be spooled (the spool failing): the caller
    // delivers them live as without a spool. `committed` counts those spooled.
    std::vector<SpooledCdr> Flush(long long now, size_t* committed = nullptr);

    // Connection thread. Registers the consumer (account, id) if new and
    // returns the sequence number its delivery starts from.
    unsigned long long OpenConsumer(const std::string& account, unsigned long long id);
    // Up to `limit` committed records from `from` on that the consumer has not
    // acknowledged, in sequence order.
    std::vector<SpooledCdr> Next(const std::string& account, unsigned long long id,
                                 unsigned long long from, size_t limit);
    // The consumer has the record; kept in memory, written by the next
    // FlushAcks or Flush.
    void Ack(const std::string& account, unsigned long long id,
             const std::vector<unsigned long long>& seqs);
    // Writes pending acknowledgements (without waiting for the disk), unless
    // the last write was less than 200 ms ago and `now` is false.
    void FlushAcks(bool now = false);
    // Acknowledgements taken and not yet written.
    bool AcksPending() const;

    // Up to `limit` retained records from `from` on, in sequence order.
    std::vector<SpooledCdr> Range(unsigned long long from, size_t limit);

    // For status and metrics; no lock taken.
    bool Failing() const { return mFailing.load(std::memory_order_relaxed); }
    unsigned long long Depth() const;          // records retained
    long long OldestAge(long long now) const;  // seconds; 0 when empty
    unsigned long long AckedCount() const;     // acknowledgements taken since start
    unsigned long long DroppedCount() const;   // unacknowledged records retention removed
    unsigned long long RetainedBytes() const;
    // The newest committed sequence number (0: none); no lock taken.
    unsigned long long LastSeq() const { return mLastSeq.load(std::memory_order_acquire); }

  private:
    struct Consumer {
        unsigned long long floor = 1;        // every record below is acknowledged
        std::set<unsigned long long> acked;  // acknowledged at or above floor
        bool dirty = false;
    };
    using ConsumerKey = std::pair<std::string, unsigned long long>;

    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Logs a failure at most once a minute and remembers it.
    void Fail(const std::string& what);
    std::vector<SpooledCdr> FlushLocked(long long now, size_t& committed);
    bool OpenLocked();
    void CloseLocked();
    bool Exec(const char* sql);
    bool LoadLocked();
    bool WriteConsumersLocked();
    // Advances each dirty consumer's floor over the records it acknowledged.
    void CompactLocked(Consumer& c);
    bool RetainLocked(long long now, unsigned long long& removed, unsigned long long& unacked);
    bool AckedByAll(unsigned long long seq) const;
    bool ReadRecords(unsigned long long from, size_t limit, std::vector<SpooledCdr>& out);
    static bool Decode(const std::string& payload, SpooledCdr& out);

    std::atomic<unsigned> mGeneration{0};
    std::atomic<unsigned long long> mLastSeq{0};  // mNextSeq - 1
    mutable ThreadMutex mMutex;
    SqliteHandle mDb;
    std::string mPath;
    CdrSpoolLimits mLimits;
    bool mbEnabled = false;
    std::string mError;
    std::chrono::steady_clock::time_point mLastFailLog{};
    std::chrono::steady_clock::time_point mLastOpenTry{};
    std::chrono::steady_clock::time_point mLastAckWrite{};
    std::vector<SpooledCdr> mPending;  // taken, not yet committed
    std::deque<SpooledCdr> mTail;      // the newest committed records
    std::map<ConsumerKey, Consumer> mConsumers;
    std::vector<ConsumerKey> mForgotten;  // removed, still in the file
    bool mbAcksDirty = false;
    unsigned long long mNextSeq = 1;
    // Written under mMutex; atomic so that the status and the metrics read
    // them without waiting for a commit.
    std::atomic<unsigned long long> mCount{0};
    std::atomic<unsigned long long> mBytes{0};
    std::atomic<long long> mOldest{0};  // arrival of the oldest retained record
    std::atomic<unsigned long long> mAcked{0};
    std::atomic<unsigned long long> mDropped{0};
    std::atomic<bool> mFailing{false};  // mError is not empty
};
