#include "xmlrpc/XmlRpcLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
std::atomic<XmlRpcLogSink> gSink{nullptr};
}

void SetXmlRpcLogSink(XmlRpcLogSink sink) {
    gSink.store(sink);
}

void XmlRpcTrace(const char* format, ...) {
    XmlRpcLogSink sink = gSink.load();
    if (sink == nullptr) {
        return;
    }
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        sink(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    sink(big.data());
}
