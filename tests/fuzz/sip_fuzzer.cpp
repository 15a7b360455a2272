// libFuzzer target for the SIP address functions: an address that reads and
// writes again must read back to the same parts, in both the plain and the
// call-party forms.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xmlrpc/SipAddress.h"

namespace {

using S = std::string;

template <typename Parse, typename Merge>
void CheckRoundTrip(const S& text, Parse parse, Merge merge) {
    S name, user, host, port, merged;
    if (!parse(text, name, user, host, port) || !merge(merged, name, user, host, port)) {
        return;
    }
    S n2, u2, h2, p2;
    if (!parse(merged, n2, u2, h2, p2) || n2 != name || u2 != user || h2 != host || p2 != port) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const S text(reinterpret_cast<const char*>(data), size);
    const auto unquoted = [](const S& t, S& n, S& u, S& h, S& p) {
        return ParseSIPAddress(t, n, u, h, p, true);
    };
    for (bool nameAddr : {true, false}) {
        CheckRoundTrip(text, unquoted,
                       [nameAddr](S& m, const S& n, const S& u, const S& h, const S& p) {
                           return MergeSIPAddress(m, n, u, h, p, nameAddr);
                       });
    }
    S name, user, host, port;  // a name kept as written is not meant to be merged again
    ParseSIPAddress(text, name, user, host, port, false);
    CheckRoundTrip(text, ParseSIPAddressEx, MergeSIPAddressEx);
    return 0;
}
