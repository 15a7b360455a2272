#include "policy/Base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool EncodeBase64(const std::string& in, std::string& out, std::size_t maxChars) {
    out.clear();
    const std::size_t groups = (in.size() + 2) / 3;
    if (groups > maxChars / 4) {
        return false;
    }
    out.reserve(groups * 4);
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                           static_cast<unsigned char>(in[i + 1]) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t left = in.size() - i;
    if (left > 0) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (left == 2) {
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        }
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += left == 2 ? kAlphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return true;
}
