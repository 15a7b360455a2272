// Base64 (RFC 4648 alphabet, "=" fill) on a single line, for the Basic
// credentials of the policy requests. Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

// Encodings longer than this are refused: the credentials of one request fit a
// buffer of this many characters.
constexpr std::size_t kMaxBase64Chars = 4096;

// Encodes `in` into `out`; false (and `out` empty) when the encoding would be
// longer than `maxChars`.
bool EncodeBase64(const std::string& in, std::string& out, std::size_t maxChars = kMaxBase64Chars);
