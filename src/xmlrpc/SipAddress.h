// SIP address functions of the platform utility library: compose and split
// name-addr texts such as `"Front Desk" <sip:201@10.0.0.5:5060>`, `<sip:201@host>`
// and bare `sip:201@host`.
//
// Form written: the display name in double quotes (with '"' and '\' escaped by
// a backslash) followed by one blank and the URI in angle brackets; without a
// name, the URI in angle brackets, or bare when the caller asks for it. The URI
// is "sip:" + user + "@" + host, then ":" + port when there is a port; without a
// user it is "sip:" + host. Reading accepts those forms (scheme "sip:" or
// "sips:" in any case, an unquoted display name, URI and header parameters after
// the host, which are dropped) and refuses anything it cannot split cleanly.
//
// Threads: stateless; any thread.
#pragma once

#include <string>

// Splits `address`; with `unquoteName` the display name is returned without its
// quotes and backslash escapes, otherwise as written (trimmed). False, with the
// parts possibly partly written, when the text is not a SIP address.
bool ParseSIPAddress(const std::string& address, std::string& name, std::string& user,
                     std::string& host, std::string& port, bool unquoteName);
// Composes `address` from the four parts; with `nameAddr` the URI is always in
// angle brackets, otherwise bare when there is no name. False, leaving `address`
// unchanged, when the parts cannot form an address that reads back into them
// (no host, a port that is not a number, forbidden characters).
bool MergeSIPAddress(std::string& address, const std::string& name, const std::string& user,
                     const std::string& host, const std::string& port, bool nameAddr);

// The forms used for call parties: unquoted names, URI always in brackets.
bool ParseSIPAddressEx(const std::string& address, std::string& sipName, std::string& user,
                       std::string& host, std::string& port);
bool MergeSIPAddressEx(std::string& address, const std::string& sipName, const std::string& user,
                       const std::string& host, const std::string& port);
