// Call-policy and listener settings of the configuration library, read from the
// "settings" table of systemdb.
//
// Threads: each thread has its own instance; GetInstance and CloseInstance act
// on the calling thread's, so the control server (main thread) and the policy
// worker never share one and nothing needs a lock.
#pragma once

#include <string>

class CallPolicyAccessor {
  public:
    // The calling thread's instance, made on first use; null when systemdb does
    // not exist. With `loadNow` the settings are read at once (as by load()).
    static CallPolicyAccessor* GetInstance(bool loadNow);
    // Destroys the calling thread's instance; does nothing when there is none.
    static void CloseInstance();

    virtual ~CallPolicyAccessor() = default;
    CallPolicyAccessor(const CallPolicyAccessor&) = delete;
    CallPolicyAccessor& operator=(const CallPolicyAccessor&) = delete;

    // Reads the settings: non-zero when they were read. On failure (database
    // unreadable, corrupt, or locked past the busy time-out) the values stay as
    // they were: the built-in defaults until a load succeeds.
    virtual int load();

    const std::string& GetServerAddress() const { return mServerAddress; }
    const std::string& GetServerPort() const { return mServerPort; }  // text
    const std::string& GetUserName() const { return mUserName; }
    const std::string& GetPassword() const { return mPassword; }
    bool IsSecure() const { return mbSecure; }
    // CA file the policy server's certificate is checked against: a path,
    // "system" for the system's store, empty for no check.
    const std::string& GetPolicyCaFile() const { return mPolicyCaFile; }
    const std::string& GetRequestTimeout() const { return mRequestTimeout; }  // text, seconds
    const std::string& GetListenPort() const { return mListenPort; }          // text
    bool IsSecureListen() const { return mbSecureListen; }
    // Requests other than authentication are refused until a connection is authorised.
    bool IsRequireAuth() const { return mbRequireAuth; }
    // Seconds a connection may stay unauthorised (text; <= 0: no limit).
    const std::string& GetAuthTimeout() const { return mAuthTimeout; }
    // Most unauthorised connections at one time (text; <= 0: no limit).
    const std::string& GetMaxUnauthConnections() const { return mMaxUnauthConnections; }
    const std::string& GetMaxUnauthPerPeer() const { return mMaxUnauthPerPeer; }
    // An account reaches only what is its own or granted (config/AccountRights.h).
    bool IsAccountRights() const { return mbAccountRights; }
    // SIGTSTP ends the process instead of stopping it (base/CrashGuard.h).
    bool IsTstpEndsProcess() const { return mbTstpEndsProcess; }
    // An answer to an offered call decides only that call; anything else
    // falls back to accepting it.
    bool IsStrictDecisions() const { return mbStrictDecisions; }
    bool IsPolicyIpv6() const { return mbPolicyIpv6; }
    // A request sent again on one connection is answered again, not repeated.
    bool IsSafeRetries() const { return mbSafeRetries; }
    // Where the control server listens: a literal, or empty for every address.
    const std::string& GetListenAddress() const { return mListenAddress; }
    // Where the metrics listener listens (empty: nowhere).
    const std::string& GetMetricsListen() const { return mMetricsListen; }
    // Passwords and digests are written to the log as "********".
    bool IsMaskLoggedSecrets() const { return mbMaskLoggedSecrets; }
    // Each pass writes every request queued for a connection, in one write.
    bool IsWriteAllQueued() const { return mbWriteAllQueued; }
    bool IsEventThreadWrites() const { return mbEventThreadWrites; }
    // Lines of the log's write queue (text; 0 or less: lines written at once).
    const std::string& GetLogQueueLines() const { return mLogQueueLines; }

  protected:
    explicit CallPolicyAccessor(std::string dbPath);

  private:
    std::string mDbPath;
    std::string mServerAddress;
    std::string mServerPort;
    std::string mUserName;
    std::string mPassword;
    bool mbSecure;
    std::string mPolicyCaFile;
    std::string mRequestTimeout;
    std::string mListenPort;
    bool mbSecureListen;
    bool mbRequireAuth;
    std::string mAuthTimeout;
    std::string mMaxUnauthConnections;
    std::string mMaxUnauthPerPeer;
    bool mbAccountRights;
    bool mbTstpEndsProcess;
    bool mbStrictDecisions;
    bool mbPolicyIpv6;
    bool mbMaskLoggedSecrets;
    bool mbSafeRetries;
    std::string mListenAddress;
    std::string mLogQueueLines;
    bool mbWriteAllQueued;
    bool mbEventThreadWrites;
    std::string mMetricsListen;
};
