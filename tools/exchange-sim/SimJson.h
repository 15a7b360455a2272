// JSON forms of the exchange-link messages for the simulator: input lines to
// events, commands to output lines. The line forms are in docs/exchange-sim.md.
//
// Threads: plain functions, no shared state. Failures throw std::runtime_error
// (or nlohmann::json's exceptions) with a message fit for standard error.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "exchange/ExchangeCodec.h"

namespace sim {

// Where an event goes.
enum class EventTarget { kCallManagerQueue, kNotificationQueue, kPoller };

// Builds the event of an {"event": NAME, ...} object and says where it goes.
// Missing members are empty or 0 (a CallArrived without "data" is completed by
// the caller from its registrations).
exlink::ExchangeMessage EventFromJson(const nlohmann::json& line, EventTarget& target);

// The output object of a command received from the daemon ({"cmd": NAME, ...}).
nlohmann::ordered_json CommandToJson(const exlink::ExchangeMessage& command);

// A name-addr text: optional display name (quoted or bare), then
// <sip:user@host:port> or a bare sip:user@host:port. Empty text, empty record.
NameAddr ParseNameAddr(const std::string& text);

// Decimal 64-bit reading of a JSON member given as a string or a number; 0 when missing.
unsigned long long U64Member(const nlohmann::json& object, const char* key);

}  // namespace sim
