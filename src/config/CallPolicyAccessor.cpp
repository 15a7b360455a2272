#include "config/CallPolicyAccessor.h"

#include <sys/stat.h>

#include <map>
#include <memory>

#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"

namespace {
thread_local std::unique_ptr<CallPolicyAccessor> tInstance;

std::string DefaultOf(const char* name) {
    return FindSetting(name)->defaultValue;
}
}  // namespace

CallPolicyAccessor::CallPolicyAccessor(std::string dbPath)
    : mDbPath(std::move(dbPath)),
      mServerAddress(DefaultOf("policy-server")),
      mServerPort(DefaultOf("policy-port")),
      mUserName(DefaultOf("policy-user")),
      mPassword(DefaultOf("policy-password")),
      mbSecure(ParseFlag(DefaultOf("policy-secure"))),
      mPolicyCaFile(DefaultOf("policy-ca-file")),
      mRequestTimeout(DefaultOf("request-timeout")),
      mListenPort(DefaultOf("listen-port")),
      mbSecureListen(ParseFlag(DefaultOf("secure-listen"))),
      mbRequireAuth(ParseFlag(DefaultOf("require-auth"))),
      mAuthTimeout(DefaultOf("auth-timeout")),
      mMaxUnauthConnections(DefaultOf("max-unauth-connections")),
      mMaxUnauthPerPeer(DefaultOf("max-unauth-per-peer")),
      mbAccountRights(ParseFlag(DefaultOf("account-rights"))),
      mbTstpEndsProcess(ParseFlag(DefaultOf("tstp-ends-process"))),
      mbStrictDecisions(ParseFlag(DefaultOf("strict-decisions"))),
      mbPolicyIpv6(ParseFlag(DefaultOf("policy-ipv6"))),
      mbMaskLoggedSecrets(ParseFlag(DefaultOf("mask-logged-secrets"))),
      mbSafeRetries(ParseFlag(DefaultOf("safe-retries"))),
      mListenAddress(DefaultOf("listen-address")),
      mLogQueueLines(DefaultOf("log-queue-lines")),
      mbWriteAllQueued(ParseFlag(DefaultOf("write-all-queued"))),
      mbEventThreadWrites(ParseFlag(DefaultOf("event-thread-writes"))),
      mMetricsListen(DefaultOf("metrics-listen")) {}

CallPolicyAccessor* CallPolicyAccessor::GetInstance(bool loadNow) {
    if (!tInstance) {
        std::string path = SystemDbPath();
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            return nullptr;
        }
        tInstance.reset(new CallPolicyAccessor(std::move(path)));
    }
    if (loadNow) {
        tInstance->load();
    }
    return tInstance.get();
}

void CallPolicyAccessor::CloseInstance() {
    tInstance.reset();
}

int CallPolicyAccessor::load() {
    std::map<std::string, std::string> values;
    if (!ReadSettings(mDbPath, values)) {
        return 0;
    }
    mServerAddress = values["policy-server"];
    mServerPort = values["policy-port"];
    mUserName = values["policy-user"];
    mPassword = values["policy-password"];
    mbSecure = ParseFlag(values["policy-secure"]);
    mPolicyCaFile = values["policy-ca-file"];
    mRequestTimeout = values["request-timeout"];
    mListenPort = values["listen-port"];
    mbSecureListen = ParseFlag(values["secure-listen"]);
    mbRequireAuth = ParseFlag(values["require-auth"]);
    mAuthTimeout = values["auth-timeout"];
    mMaxUnauthConnections = values["max-unauth-connections"];
    mMaxUnauthPerPeer = values["max-unauth-per-peer"];
    mbAccountRights = ParseFlag(values["account-rights"]);
    mbTstpEndsProcess = ParseFlag(values["tstp-ends-process"]);
    mbStrictDecisions = ParseFlag(values["strict-decisions"]);
    mbPolicyIpv6 = ParseFlag(values["policy-ipv6"]);
    mbSafeRetries = ParseFlag(values["safe-retries"]);
    mListenAddress = values["listen-address"];
    mMetricsListen = values["metrics-listen"];
    mbMaskLoggedSecrets = ParseFlag(values["mask-logged-secrets"]);
    mLogQueueLines = values["log-queue-lines"];
    mbWriteAllQueued = ParseFlag(values["write-all-queued"]);
    mbEventThreadWrites = ParseFlag(values["event-thread-writes"]);
    return 1;
}
