// The connection's handlers of "authenticate", "sauthenticate" and
// "getextension": the checks against the configuration are system services;
// these answer the client and set the connection's authorisation flag.
// Connection thread, inside the dispatch.
#include <string>

#include "core/ExtCallControl.h"
#include "server/CallControlService.h"
#include "server/ServerMetrics.h"
#include "services/SystemServices.h"
#include "xmlrpc/CallProcessingMethods.h"

namespace {
using TR = ExtCallControl;
}  // namespace

void CallControlService::CvtHex(const unsigned char* digest, unsigned char* text) {
    SystemServices::DigestHex(digest, text);
}

void CallControlService::SendAuthenticateResponse(bool accepted, const char* text,
                                                  const char* logLine, const std::string& user,
                                                  bool digest) {
    AuthenticateResponseMethod r;
    r.SetParams(accepted, text);
    mbAuthorised = accepted;
    if (mnMetricState != server_metrics::kNoState) {
        SetMetricState(accepted ? server_metrics::kAuthenticated
                                : server_metrics::kUnauthenticated);
    }
    if (!accepted) {
        const std::string refusal = text;
        server_metrics::CountAuthFailure(
            digest || refusal == "Wrong username or password." ? server_metrics::kWrongDigest
            : refusal == "Wrong username."                     ? server_metrics::kUnknownUser
                                                               : server_metrics::kWrongPassword);
    }
    if (accepted) {
        mAccount = user;
        mbDigestAccount = digest;
        mbAccountLoaded = false;
        if (mbAccountRights) {
            LoadAccount();
        }
    }
    TR::TRACEX("%s", logLine);
    BuildAndSendXml(&r);
}

void CallControlService::Authenticate(const std::string& user, const std::string& password) {
    TR::TRACEX("CCS: Authenticate:\n");
    const char* const refusal = SystemServices::CheckPassword(user, password);
    SendAuthenticateResponse(refusal == nullptr, refusal == nullptr ? "Authenticated." : refusal,
                             "CCS: Authenticate. Sending authenticate response...\n", user);
}

void CallControlService::SecureAuthenticate(const std::string& user, const std::string& timeStamp,
                                            const std::string& digest) {
    TR::TRACEX("CCS: Secure Authenticate:\n");
    const char* const logLine = "CCS: Authenticate. Sending secure authenticate response...\n";
    if (SystemServices::CheckDigest(user, timeStamp, digest)) {
        TR::TRACEX("CCS: Verified!:\n");
        SendAuthenticateResponse(true, "Authenticated.", logLine, user, true);
    } else {
        TR::TRACEX("CCS: Not Verified:\n");
        SendAuthenticateResponse(false, "Wrong username or password.", logLine);
    }
}

void CallControlService::GetExtension(const std::string& user) {
    TR::TRACEX("CCS: GetExtension:\n");
    std::string extension;
    const bool found = SystemServices::FindLineExtension(user, extension);
    if (found) {
        TR::TRACEX("CCS: extension is[%s]..:\n", extension.c_str());
    }
    GetExtensionResponseMethod r;
    r.SetParams(found, found ? extension : std::string("extension not founded"));
    TR::TRACEX("CCS: GetExtension. Sending get extensions response...\n");
    BuildAndSendXml(&r);
}
