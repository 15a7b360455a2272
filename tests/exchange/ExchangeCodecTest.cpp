#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "exchange/ExchangeCodec.h"

using namespace exlink;

namespace {

constexpr unsigned long long kMaxU64 = std::numeric_limits<unsigned long long>::max();
const std::string kAwkward = std::string("a b\nc\td \xc3\xa9\xff\0z", 14);

CallParams AwkwardParty(const std::string& tag) {
    CallParams p;
    p.user = kAwkward + tag;
    p.userSuffix = "";
    p.sipName = " ";
    p.displayName = "\"Front Desk\"";
    p.host = "10.0.0.5";
    p.port = "5060";
    p.transport = "\n";
    p.tag = "1:2 3";
    p.contact = "<sip:x@y>";
    p.extra = std::string(1, '\0');
    p.type = kCallParamsMsgTakerBit | 5u;
    return p;
}

ExchangeMessage RoundTrip(const ExchangeMessage& in) {
    std::string wire = EncodeMessage(in);
    ExchangeMessage out;
    std::string error;
    EXPECT_TRUE(DecodeMessage(wire.data(), wire.size(), out, error)) << error << " in " << wire;
    EXPECT_EQ(in.index(), out.index());
    return out;
}

bool Decodes(const std::string& wire) {
    ExchangeMessage out;
    std::string error;
    bool ok = DecodeMessage(wire.data(), wire.size(), out, error);
    if (!ok) {
        EXPECT_FALSE(error.empty());
    }
    return ok;
}

}  // namespace

TEST(ExchangeCodec, WireFormIsVersionedDecimalText) {
    EXPECT_EQ(EncodeMessage(CloseCallCmd{kMaxU64}), "EXL1 CloseCall 18446744073709551615");
    EXPECT_EQ(EncodeMessage(AcceptCallCmd{7, "a b", "", -1}), "EXL1 AcceptCall 7 3:a b 0: -1");
    EXPECT_EQ(EncodeMessage(ForcedAlertEv{}), "EXL1 ForcedAlert");
}

TEST(ExchangeCodec, EveryMessageRoundTripsWithAwkwardValues) {
    CallStatistics stats;
    stats.rtpTxPack = -1;
    stats.rtpTxCodec = 18;
    stats.rtpRxJitter = std::numeric_limits<int>::min();
    stats.faxRxDublePack = std::numeric_limits<int>::max();
    RcCDR cdr{std::numeric_limits<long long>::min(), -5, kAwkward, "", "f", "t", "g", "\n", true};
    MailSettings mail{AwkwardParty("m"), -1, 30, 4294967295ul};
    DialogParams dialog;
    dialog.callId = kMaxU64;
    dialog.direction = 2;
    dialog.duration = -1;
    dialog.replacesId = 1;
    dialog.referredBy = {"", "u", "h", ""};
    dialog.local = {"Front \"Desk\"", "201", "10.0.0.5", "5060"};
    dialog.remote = {kAwkward, "", "", "0"};
    dialog.callState = -7;

    const std::vector<ExchangeMessage> samples = {
        IncomingCallHandlingCmd{kAwkward, -1, kMaxU64},
        AcceptCallCmd{kMaxU64, kAwkward, "", std::numeric_limits<long long>::min()},
        ForwardCallCmd{1, {AwkwardParty("1"), CallParams(), AwkwardParty("3")}, "", kAwkward},
        ForwardCallCmd{2, {}, "x", "y"},
        RejectCallCmd{0},
        CloseCallCmd{kMaxU64},
        CreateCallCmd{3, kAwkward, AwkwardParty("to"), " "},
        TransferCallCmd{4, AwkwardParty("tr")},
        JoinCallsCmd{kMaxU64, 0},
        UnjoinCallsCmd{0, kMaxU64},
        PlayMessageCmd{5, "/prompts/a b.wav", -3},
        InjectDTMFCmd{6, "*#0123456789ABCD"},
        EnableDtmfDetectionCmd{7, 0},
        SubscribeToCDRCmd{1},
        SubscribeToCRCmd{0},
        ANSubscribeCmd{4, AwkwardParty("f"), AwkwardParty("f"), kMaxU64},
        ANUnsubscribeCmd{kMaxU64},
        CallArrivedEv{kMaxU64, 99, "", AwkwardParty("a"), CallParams(), kMaxU64 - 1,
                      std::numeric_limits<long long>::max()},
        CallOriginatedEv{8, -1, kAwkward, CallParams(), AwkwardParty("b"), "9.*", -1},
        CallStateChangedEv{9, ExtCallState_Failed},
        MessagePlayedEv{10},
        DTMFInjectedEv{11},
        DtmfDigitDetectedEv{12, '#'},
        DtmfDigitDetectedEv{13, '\xff'},
        CDRArrivedEv{7, cdr, std::nullopt},
        CDRArrivedEv{1, cdr, stats},
        UpdateConfigEv{UpdateType_CallPolicy},
        ANSubscribeResultEv{14, -2},
        ANUnsubscribeResultEv{15, 1},
        MNNotifyEv{16, mail},
        DialogNotifyEv{17, {dialog, DialogParams(), dialog}},
        DialogNotifyEv{18, {}},
        ExtListNotifyEv{19, {Ext{"201", kAwkward, "sip:201@h", 1, -1}, Ext()}},
        PresenceNotifyEv{20, -5},
        ConfirmEv{kMaxU64},
        ErrorConveyEv{21, PUAErrorCode{-404}},
        ANPartyStateChangedEv{true},
        ForcedAlertEv{},
    };
    std::vector<bool> seen(std::variant_size_v<ExchangeMessage>, false);
    for (const ExchangeMessage& sample : samples) {
        ExchangeMessage back = RoundTrip(sample);
        EXPECT_EQ(EncodeMessage(back), EncodeMessage(sample)) << MessageName(sample);
        seen[sample.index()] = true;
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_TRUE(seen[i]) << "no sample for alternative " << i;
    }

    // The records themselves come back field for field.
    auto forward = std::get<ForwardCallCmd>(RoundTrip(samples[2]));
    EXPECT_EQ(forward.targets, std::get<ForwardCallCmd>(samples[2]).targets);
    EXPECT_EQ(forward.targets.front().type, kCallParamsMsgTakerBit | 5u);
    auto arrived = std::get<CallArrivedEv>(RoundTrip(samples[17]));
    EXPECT_EQ(arrived.from, AwkwardParty("a"));
    EXPECT_EQ(arrived.data, std::numeric_limits<long long>::max());
    EXPECT_EQ(arrived.origCallId, kMaxU64 - 1);
    auto withStats = std::get<CDRArrivedEv>(RoundTrip(samples[25]));
    ASSERT_TRUE(withStats.statistics.has_value());
    EXPECT_EQ(*withStats.statistics, stats);
    EXPECT_EQ(withStats.cdr, cdr);
    EXPECT_FALSE(std::get<CDRArrivedEv>(RoundTrip(samples[24])).statistics.has_value());
    EXPECT_EQ(std::get<MNNotifyEv>(RoundTrip(samples[29])).mail, mail);
    auto dialogs = std::get<DialogNotifyEv>(RoundTrip(samples[30])).dialogs;
    EXPECT_EQ(dialogs, std::get<DialogNotifyEv>(samples[30]).dialogs);
    auto exts = std::get<ExtListNotifyEv>(RoundTrip(samples[32])).extensions;
    EXPECT_EQ(exts, std::get<ExtListNotifyEv>(samples[32]).extensions);
    EXPECT_EQ(std::get<DtmfDigitDetectedEv>(RoundTrip(samples[23])).digit, '\xff');
}

TEST(ExchangeCodec, RejectsMalformedDatagrams) {
    EXPECT_TRUE(Decodes("EXL1 CloseCall 1"));
    EXPECT_FALSE(Decodes(""));
    EXPECT_FALSE(Decodes("EXL1"));
    EXPECT_FALSE(Decodes("EXL2 CloseCall 1"));  // other version
    EXPECT_FALSE(Decodes("exl1 CloseCall 1"));
    EXPECT_FALSE(Decodes("EXL1 Bogus 1"));        // unknown name
    EXPECT_FALSE(Decodes("EXL1 CloseCall"));      // missing field
    EXPECT_FALSE(Decodes("EXL1 CloseCall 1 2"));  // trailing field
    EXPECT_FALSE(Decodes("EXL1 CloseCall 1x"));
    EXPECT_FALSE(Decodes("EXL1 CloseCall  1"));
    EXPECT_FALSE(Decodes("EXL1 CloseCall -1"));  // negative unsigned
    EXPECT_FALSE(Decodes("EXL1 CloseCall 18446744073709551616"));
    EXPECT_FALSE(Decodes("EXL1 CloseCall 99999999999999999999999"));
    EXPECT_FALSE(Decodes("EXL1 PlayMessage 1 1:a 2147483648"));  // int overflow
    EXPECT_TRUE(Decodes("EXL1 PlayMessage 1 1:a -2147483648"));
    EXPECT_FALSE(Decodes("EXL1 PlayMessage 1 1:a -2147483649"));
    EXPECT_FALSE(Decodes("EXL1 InjectDTMF 1 99:12"));  // text beyond the end
    EXPECT_FALSE(Decodes("EXL1 InjectDTMF 1 -1:"));
    EXPECT_FALSE(Decodes("EXL1 DtmfDigitDetected 1 2:12"));  // a digit is one byte
    EXPECT_FALSE(Decodes("EXL1 OnANPartyStateChanged 2"));   // flag is 0 or 1
    EXPECT_FALSE(Decodes("EXL1 OnDialogNotify 1 999999999999"));
    EXPECT_FALSE(Decodes("EXL1 OnDialogNotify 1 18446744073709551615"));
    EXPECT_FALSE(Decodes("EXL1 ForwardCall 1 4000000000 0: 0:"));
}

TEST(ExchangeCodec, EveryTruncationIsRejected) {
    // Messages that end in a text or a one-digit number: no proper prefix is a whole message.
    const std::vector<ExchangeMessage> samples = {
        ForwardCallCmd{1, {AwkwardParty("1"), AwkwardParty("2")}, "c", "d"},
        CreateCallCmd{3, kAwkward, AwkwardParty("to"), "x"},
        ExtListNotifyEv{19, {Ext{"201", "D", "s", 1, 2}}},
    };
    for (const ExchangeMessage& sample : samples) {
        const std::string wire = EncodeMessage(sample);
        for (std::size_t cut = 0; cut < wire.size(); ++cut) {
            EXPECT_FALSE(Decodes(wire.substr(0, cut))) << MessageName(sample) << " cut at " << cut;
        }
    }
}
