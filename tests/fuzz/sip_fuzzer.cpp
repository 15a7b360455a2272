// libFuzzer target for the SIP address functions: an address that reads and
// writes again must read back to the same parts, in both the plain and the
// call-party forms.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SipAddress.h"

namespace {

void CheckRoundTrip(const std::string& text, bool unquote, bool nameAddr) {
    std::string name, user, host, port;
    if (!ParseSIPAddress(text, name, user, host, port, unquote)) {
        return;
    }
    if (!unquote) {
        return;  // a name kept as written is not meant to be merged again
    }
    std::string merged;
    if (!MergeSIPAddress(merged, name, user, host, port, nameAddr)) {
        return;
    }
    std::string n2, u2, h2, p2;
    if (!ParseSIPAddress(merged, n2, u2, h2, p2, true) || n2 != name || u2 != user || h2 != host ||
        p2 != port) {
        abort();
    }
}

void CheckPartyForm(const std::string& text) {
    std::string name, user, host, port;
    if (!ParseSIPAddressEx(text, name, user, host, port)) {
        return;
    }
    std::string merged;
    if (!MergeSIPAddressEx(merged, name, user, host, port)) {
        return;
    }
    std::string n2, u2, h2, p2;
    if (!ParseSIPAddressEx(merged, n2, u2, h2, p2) || n2 != name || u2 != user || h2 != host ||
        p2 != port) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckRoundTrip(text, true, true);
    CheckRoundTrip(text, true, false);
    CheckRoundTrip(text, false, true);
    CheckPartyForm(text);
    return 0;
}
