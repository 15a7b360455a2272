#include "exchange/MediaControl.h"

#include <strings.h>
#include <cstdlib>

namespace {

struct CodecName {
    int codec;
    const char* name;
};

// Codec numbers follow the static RTP payload types.
constexpr CodecName kCodecs[] = {
    {0, "PCMU"}, {3, "GSM"}, {4, "G723"}, {8, "PCMA"}, {9, "G722"}, {18, "G729"},
};

constexpr char kGenericPrefix[] = "codec-";

}  // namespace

std::string GetNameByDspCodec(int codec) {
    for (const CodecName& c : kCodecs) {
        if (c.codec == codec) {
            return c.name;
        }
    }
    return kGenericPrefix + std::to_string(codec);
}

int GetDspCodecByName(const std::string& name) {
    for (const CodecName& c : kCodecs) {
        if (strcasecmp(name.c_str(), c.name) == 0) {
            return c.codec;
        }
    }
    const size_t n = sizeof kGenericPrefix - 1;
    if (name.size() > n && strncasecmp(name.c_str(), kGenericPrefix, n) == 0) {
        const char* digits = name.c_str() + n;
        long v = std::strtol(digits, nullptr, 10);
        // Only the exact text GetNameByDspCodec writes maps back.
        if (name.compare(n, std::string::npos, std::to_string(v)) == 0 && v >= -2147483647L - 1 &&
            v <= 2147483647L) {
            return static_cast<int>(v);
        }
    }
    return -1;
}
