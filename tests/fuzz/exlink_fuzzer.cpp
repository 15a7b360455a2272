// libFuzzer target for the exchange link's datagram decoder. A datagram that
// decodes is encoded again; that text must decode and encode to itself (the
// encoder's form is canonical even when the input's was not).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "exchange/ExchangeCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exlink::ExchangeMessage message;
    std::string error;
    if (!exlink::DecodeMessage(reinterpret_cast<const char*>(data), size, message, error)) {
        return 0;
    }
    const std::string wire = exlink::EncodeMessage(message);
    exlink::ExchangeMessage back;
    if (!exlink::DecodeMessage(wire.data(), wire.size(), back, error) ||
        back.index() != message.index() || exlink::EncodeMessage(back) != wire) {
        abort();
    }
    return 0;
}
