#include "exchange/ExchangeCodec.h"

#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace exlink {
namespace {

// Field lists, in wire order, of every record and message. Each FIELDS line
// defines Fields(visitor, value) for the const and the mutable value, so that
// the encoder and the decoder walk the very same list.
#define EXL_FIELDS(Type, ...)          \
    template <class V>                 \
    void Fields(V& v, Type& s) {       \
        v(__VA_ARGS__);                \
    }                                  \
    template <class V>                 \
    void Fields(V& v, const Type& s) { \
        v(__VA_ARGS__);                \
    }

EXL_FIELDS(CallParams, s.user, s.userSuffix, s.sipName, s.displayName, s.host, s.port, s.transport,
           s.tag, s.contact, s.extra, s.type)
EXL_FIELDS(RcCDR, s.startTime, s.duration, s.calledUser, s.callingUser, s.from, s.to, s.callGuid,
           s.details, s.cirCaller)
EXL_FIELDS(CallStatistics, s.rtpTxPack, s.rtpTxCodec, s.rtpTxPackSz, s.rtpRxPack, s.rtpRxCodec,
           s.rtpRxPackSz, s.rtpRxLost, s.rtpRxJitter, s.rtpRxMaxDelay, s.rtpDelayIncCount,
           s.rtpDelayDecCount, s.faxTxPack, s.faxTxDublePack, s.faxRxPack, s.faxRxLost, s.faxRxBad,
           s.faxRxDublePack)
EXL_FIELDS(MailSettings, s.from, s.arrival, s.duration, s.mailId)
EXL_FIELDS(NameAddr, s.name, s.user, s.host, s.port)
EXL_FIELDS(DialogParams, s.callId, s.direction, s.event, s.dialogState, s.duration, s.replacesId,
           s.referredBy, s.local, s.remote, s.callType, s.callState)
EXL_FIELDS(Ext, s.ext, s.display, s.sipAddress, s.type, s.line)
EXL_FIELDS(PUAErrorCode, s.errorCode)

EXL_FIELDS(IncomingCallHandlingCmd, s.ext, s.enable, s.requester)
EXL_FIELDS(AcceptCallCmd, s.callId, s.callerId, s.displayName, s.virtualAccept)
EXL_FIELDS(ForwardCallCmd, s.callId, s.targets, s.callerId, s.displayName)
EXL_FIELDS(RejectCallCmd, s.callId)
EXL_FIELDS(CloseCallCmd, s.callId)
EXL_FIELDS(CreateCallCmd, s.callId, s.from, s.to, s.displayName)
EXL_FIELDS(TransferCallCmd, s.callId, s.to)
EXL_FIELDS(JoinCallsCmd, s.callId, s.otherCallId)
EXL_FIELDS(UnjoinCallsCmd, s.callId, s.otherCallId)
EXL_FIELDS(PlayMessageCmd, s.callId, s.file, s.count)
EXL_FIELDS(InjectDTMFCmd, s.callId, s.digits)
EXL_FIELDS(EnableDtmfDetectionCmd, s.callId, s.enable)
EXL_FIELDS(SubscribeToCDRCmd, s.subscribe)
EXL_FIELDS(SubscribeToCRCmd, s.subscribe)
EXL_FIELDS(ANSubscribeCmd, s.package, s.from, s.to, s.subscriptionId)
EXL_FIELDS(ANUnsubscribeCmd, s.subscriptionId)
EXL_FIELDS(CallArrivedEv, s.callId, s.type, s.ext, s.from, s.to, s.origCallId, s.data)
EXL_FIELDS(CallOriginatedEv, s.callId, s.type, s.ext, s.from, s.to, s.pattern, s.data)
EXL_FIELDS(CallStateChangedEv, s.callId, s.state)
EXL_FIELDS(MessagePlayedEv, s.callId)
EXL_FIELDS(DTMFInjectedEv, s.callId)
EXL_FIELDS(DtmfDigitDetectedEv, s.callId, s.digit)
EXL_FIELDS(CDRArrivedEv, s.cdrType, s.cdr, s.statistics)
EXL_FIELDS(UpdateConfigEv, s.updateType)
EXL_FIELDS(ANSubscribeResultEv, s.subscriptionId, s.result)
EXL_FIELDS(ANUnsubscribeResultEv, s.subscriptionId, s.result)
EXL_FIELDS(MNNotifyEv, s.subscriptionId, s.mail)
EXL_FIELDS(DialogNotifyEv, s.subscriptionId, s.dialogs)
EXL_FIELDS(ExtListNotifyEv, s.subscriptionId, s.extensions)
EXL_FIELDS(PresenceNotifyEv, s.subscriptionId, s.state)
EXL_FIELDS(ConfirmEv, s.subscriptionId)
EXL_FIELDS(ErrorConveyEv, s.subscriptionId, s.error)
EXL_FIELDS(ANPartyStateChangedEv, s.connected)

template <class V>
void Fields(V&, const ForcedAlertEv&) {}
template <class V>
void Fields(V&, ForcedAlertEv&) {}

#undef EXL_FIELDS

template <class T>
constexpr bool kIsInteger =
    std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>;

// Writes the tokens of a message: " <decimal>" for numbers and flags, " <length>:<bytes>" for
// texts and single characters, " <count>" before the elements of a list, " 0" or " 1" before
// an optional record.
class Writer {
  public:
    explicit Writer(std::string& out) : mOut(out) {}

    template <class... T>
    void operator()(const T&... fields) {
        (Put(fields), ...);
    }

  private:
    void Number(const std::string& digits) {
        mOut += ' ';
        mOut += digits;
    }
    void Put(const std::string& text) {
        Number(std::to_string(text.size()));
        mOut += ':';
        mOut += text;
    }
    void Put(char c) { Put(std::string(1, c)); }
    void Put(bool b) { Number(b ? "1" : "0"); }
    template <class T>
    std::enable_if_t<kIsInteger<T>> Put(T value) {
        Number(std::to_string(value));
    }
    template <class T>
    std::enable_if_t<std::is_enum_v<T>> Put(T value) {
        Put(static_cast<long long>(value));
    }
    template <class T>
    void Put(const std::list<T>& items) {
        Number(std::to_string(items.size()));
        for (const T& item : items) {
            Put(item);
        }
    }
    template <class T>
    void Put(const std::optional<T>& item) {
        Put(item.has_value());
        if (item) {
            Put(*item);
        }
    }
    template <class T>
    auto Put(const T& record) -> decltype(Fields(*this, record), void()) {
        Fields(*this, record);
    }

    std::string& mOut;
};

// Reads the tokens back; the first failure sticks and stops further reading.
class Reader {
  public:
    Reader(const char* data, std::size_t size) : mpData(data), mnSize(size) {}

    template <class... T>
    void operator()(T&... fields) {
        (Get(fields), ...);
    }

    bool Ok() const { return mError.empty(); }
    const std::string& Error() const { return mError; }
    bool AtEnd() const { return mnPos == mnSize; }
    std::size_t Remaining() const { return mnSize - mnPos; }

    void Fail(const std::string& why) {
        if (mError.empty()) {
            mError = why + " at byte " + std::to_string(mnPos);
        }
    }

    // One space-prefixed token of digits, with an optional minus sign.
    bool Digits(bool& negative, unsigned long long& magnitude) {
        if (!Ok()) {
            return false;
        }
        if (mnPos >= mnSize || mpData[mnPos] != ' ') {
            Fail("missing field");
            return false;
        }
        ++mnPos;
        negative = mnPos < mnSize && mpData[mnPos] == '-';
        if (negative) {
            ++mnPos;
        }
        std::size_t start = mnPos;
        magnitude = 0;
        while (mnPos < mnSize && mpData[mnPos] >= '0' && mpData[mnPos] <= '9') {
            unsigned digit = static_cast<unsigned>(mpData[mnPos] - '0');
            if (magnitude > (std::numeric_limits<unsigned long long>::max() - digit) / 10) {
                Fail("number out of range");
                return false;
            }
            magnitude = magnitude * 10 + digit;
            ++mnPos;
        }
        if (mnPos == start || mnPos - start > 20) {
            Fail("bad number");
            return false;
        }
        return true;
    }

    // A count of list elements; each element takes at least two bytes, which bounds it.
    bool Count(std::size_t& count) {
        bool negative = false;
        unsigned long long n = 0;
        if (!Digits(negative, n)) {
            return false;
        }
        if (negative || n > Remaining() / 2) {
            Fail("bad count");
            return false;
        }
        count = static_cast<std::size_t>(n);
        return true;
    }

  private:
    void Get(std::string& text) {
        std::size_t length = 0;
        bool negative = false;
        unsigned long long n = 0;
        if (!Digits(negative, n)) {
            return;
        }
        if (negative || mnPos >= mnSize || mpData[mnPos] != ':' || n > Remaining() - 1) {
            Fail("bad text");
            return;
        }
        ++mnPos;
        length = static_cast<std::size_t>(n);
        text.assign(mpData + mnPos, length);
        mnPos += length;
    }
    void Get(char& c) {
        std::string text;
        Get(text);
        if (Ok() && text.size() != 1) {
            Fail("bad character");
            return;
        }
        c = Ok() ? text[0] : 0;
    }
    void Get(bool& b) {
        bool negative = false;
        unsigned long long n = 0;
        if (Digits(negative, n) && (negative || n > 1)) {
            Fail("bad flag");
        }
        b = n == 1;
    }
    template <class T>
    std::enable_if_t<kIsInteger<T>> Get(T& value) {
        bool negative = false;
        unsigned long long n = 0;
        if (!Digits(negative, n)) {
            return;
        }
        if constexpr (std::is_signed_v<T>) {
            using L = std::numeric_limits<T>;
            unsigned long long maxMagnitude = negative
                                                  ? static_cast<unsigned long long>(L::max()) + 1
                                                  : static_cast<unsigned long long>(L::max());
            if (n > maxMagnitude) {
                Fail("number out of range");
                return;
            }
            // Two's complement: the magnitude of the minimum is max + 1, so negate n - 1.
            if (!negative || n == 0) {
                value = static_cast<T>(n);
            } else {
                value = static_cast<T>(-static_cast<long long>(n - 1) - 1);
            }
        } else {
            if ((negative && n != 0) || n > std::numeric_limits<T>::max()) {
                Fail("number out of range");
                return;
            }
            value = static_cast<T>(n);
        }
    }
    template <class T>
    void Get(std::list<T>& items) {
        std::size_t count = 0;
        if (!Count(count)) {
            return;
        }
        items.clear();
        for (std::size_t i = 0; i < count && Ok(); ++i) {
            items.emplace_back();
            Get(items.back());
        }
    }
    template <class T>
    void Get(std::optional<T>& item) {
        bool present = false;
        Get(present);
        item.reset();
        if (Ok() && present) {
            item.emplace();
            Get(*item);
        }
    }
    template <class T>
    auto Get(T& record) -> decltype(Fields(*this, record), void()) {
        Fields(*this, record);
    }

    const char* mpData;
    std::size_t mnSize;
    std::size_t mnPos = 0;
    std::string mError;
};

template <std::size_t I = 0>
bool DecodeBody(const std::string& name, Reader& reader, ExchangeMessage& message) {
    if constexpr (I < std::variant_size_v<ExchangeMessage>) {
        using T = std::variant_alternative_t<I, ExchangeMessage>;
        if (name == T::kName) {
            T value;
            Fields(reader, value);
            if (reader.Ok()) {
                message = std::move(value);
            }
            return true;
        }
        return DecodeBody<I + 1>(name, reader, message);
    } else {
        return false;
    }
}

}  // namespace

const char* MessageName(const ExchangeMessage& message) {
    return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kName; }, message);
}

std::string EncodeMessage(const ExchangeMessage& message) {
    std::string out = kVersionTag;
    out += ' ';
    out += MessageName(message);
    Writer writer(out);
    std::visit([&writer](const auto& m) { Fields(writer, m); }, message);
    return out;
}

bool DecodeMessage(const char* data, std::size_t size, ExchangeMessage& message,
                   std::string& error) {
    const std::size_t tagLength = std::strlen(kVersionTag);
    if (size < tagLength + 2 || std::memcmp(data, kVersionTag, tagLength) != 0 ||
        data[tagLength] != ' ') {
        error = "not an exchange-link message of version " + std::string(kVersionTag);
        return false;
    }
    std::size_t nameStart = tagLength + 1;
    std::size_t nameEnd = nameStart;
    while (nameEnd < size && data[nameEnd] != ' ') {
        ++nameEnd;
    }
    // Names are short identifiers; anything else is not worth quoting in the log.
    std::string name(data + nameStart, std::min<std::size_t>(nameEnd - nameStart, 64));
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
            c = '?';
        }
    }
    Reader reader(data + nameEnd, size - nameEnd);
    if (!DecodeBody(name, reader, message)) {
        error = "unknown message \"" + name + "\"";
        return false;
    }
    if (reader.Ok() && !reader.AtEnd()) {
        reader.Fail("trailing data");
    }
    if (!reader.Ok()) {
        error = name + ": " + reader.Error();
        return false;
    }
    return true;
}

}  // namespace exlink
