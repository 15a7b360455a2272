// The daemon's requests as valtctl shows them, and valtctl's answers to them.
//
// An event is a JSON object: "event" (the method's short name: process,
// callstatechanged, cdrarrived, ...), the ID it belongs to ("call" or
// "subscription"), then the method's own fields. Printed as one JSON line
// with --json, else as "NAME key=value ..." with one indented line per list
// entry (dialogs, extensions).
//
// Threads: plain functions.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Options.h"
#include "xmlrpc/XmlRpcMethod.h"

using Event = nlohmann::ordered_json;

// Decodes one request of the daemon.
Event DescribeRequest(XmlRpcRequestMethod& request);

// The answer to an offered call (`process` or `calloriginated`) per `policy`
// (kAsk must have been resolved by the caller); `subscriptionId` is the
// routing subscription that an accepted originated call is taken under.
// Null for any other request. `decision` gets a short text of what was answered.
std::unique_ptr<XmlRpcResponseMethod> BuildOfferAnswer(const XmlRpcRequestMethod& offer,
                                                       const AnswerPolicy& policy,
                                                       unsigned long long subscriptionId,
                                                       std::string& decision);

// The readable form of an event (no trailing newline).
std::string FormatEvent(const Event& event);
// One line for --json, or the readable form.
std::string EventLine(const Event& event, bool json);

// An error: with --json one object {"error": TEXT, "exit": CODE} on standard
// output, where a script reads the events; else "valtctl: TEXT" on standard
// error.
void ReportError(bool json, int exitCode, const std::string& text);
