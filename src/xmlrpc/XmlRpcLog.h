// The XML-RPC layer's log hook, and how messages and secrets appear in the log.
// The layer does not link the daemon's core; the core installs its logger here
// at start. Without a sink, traces are dropped.
//
// Threads: any thread may trace; the sink and the masking flag are read
// atomically, so they may be set while others trace (the sink must itself be
// safe from every thread). The text helpers keep no state.
#pragma once

#include <string>

using XmlRpcLogSink = void (*)(const char* line);

// Installs the function that receives every formatted line (null to disable).
void SetXmlRpcLogSink(XmlRpcLogSink sink);
// printf-style trace; the format ends in "\n" like every log line.
void XmlRpcTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The mask that stands in the log for a secret value.
constexpr const char* kLoggedSecretMask = "********";

// Whether secrets (the password of "authenticate", the digest of
// "sauthenticate", the digest expected for it) are masked in the log: the
// setting "mask-logged-secrets", set once at start. Off until set.
void SetLogSecretsMasked(bool masked);
bool LogSecretsMasked();

// `secret` as a log line shows it: kLoggedSecretMask while masking is on.
std::string SecretForLog(const std::string& secret);

// The text of a message as the log shows it: with masking on, the secret
// parameters of an "authenticate" or "sauthenticate" call masked (see
// MaskSecretParams); always, control characters escaped (StringUtils::
// EscapeControl) in tags and character data, so that a value cannot start a
// forged log line, while the blanks and line breaks between tags stay, which
// keeps the XML's lines readable.
std::string MessageForLog(const std::string& message);

// `message` with the character data of every secret parameter replaced by
// kLoggedSecretMask, tags, line breaks and everything else kept in place. The
// method name is read the way the method factory reads it; from the first
// secret parameter on (the 2nd of "authenticate", the 3rd of "sauthenticate"),
// every run of bytes between plain tags is masked, so that no spelling the
// parser accepts (CDATA, comments, entities, odd tags) leaves a secret visible.
// A call that only looks like an authentication (no method name the factory
// knows, but the word "authenticate" in it) is masked from its 2nd parameter,
// or whole.
std::string MaskSecretParams(const std::string& message);
