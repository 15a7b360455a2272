// The policy client's request text and answer handling, without the worker:
// settings written with the real valtconf into a throw-away ORBA_PATH, a call
// that records the commands it is given.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "TempRoot.h"
#include "policy/Base64.h"
#include "policy/CallPolicyService.h"
#include "xmlrpc/CallProcessingMethods.h"

struct CallPolicyServiceTestAccess {
    static void Queue(CallPolicyService& service, XmlRpcRequestMethod* request) {
        service.mlistRequests.emplace_back(request);
    }
};

namespace {

TEST(Base64, Rfc4648VectorsAndCredentials) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},  // multiple of 3: no fill
        {"abc:de", "YWJjOmRl"},
        {"user:", "dXNlcjo="},  // empty password: user and colon still sent
        {"\xff\xfe", "//4="},
    };
    for (const auto& c : cases) {
        std::string out;
        ASSERT_TRUE(EncodeBase64(c.first, out)) << c.first;
        EXPECT_EQ(out, c.second) << c.first;
    }
    // 3072 bytes give exactly 4096 characters, on one line; one more byte is refused.
    std::string out;
    EXPECT_TRUE(EncodeBase64(std::string(3072, 'a'), out));
    EXPECT_EQ(out.size(), 4096u);
    EXPECT_EQ(out.find_first_of("\r\n="), std::string::npos);
    EXPECT_FALSE(EncodeBase64(std::string(3073, 'a'), out));
    EXPECT_TRUE(out.empty());
}

// A call that records the decisions carried out on it.
struct RecordingCall : Call {
    explicit RecordingCall(unsigned long long id, std::vector<std::string>& log)
        : Call(id), mLog(log) {}
    void AcceptCB(const unsigned long long& id, const std::string& callerId,
                  const std::string& displayName, long virtualAccept) override {
        mLog.push_back("accept " + std::to_string(id) + " " + callerId + "/" + displayName + " " +
                       std::to_string(virtualAccept));
    }
    void RejectCB(const unsigned long long& id) override {
        mLog.push_back("reject " + std::to_string(id));
    }
    void ForwardCB(const unsigned long long& id, const std::list<CallParams>& targets,
                   const std::string&, const std::string&) override {
        std::string text = "forward " + std::to_string(id);
        for (const CallParams& t : targets) {
            text += " " + t.user;
        }
        mLog.push_back(text);
    }
    std::vector<std::string>& mLog;
};

class PolicyClient : public ::testing::Test {
  protected:
    void SetUp() override { setenv("ORBA_PATH", (mRoot + "/").c_str(), 1); }
    void TearDown() override { unsetenv("ORBA_PATH"); }

    // Writes one setting with the valtconf built beside this test.
    void Set(const std::string& name, const std::string& value) {
        char self[PATH_MAX] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
        const std::string valtconf =
            (std::filesystem::path(self).parent_path() / "valtconf").string();
        const std::string command =
            VALTD_TEST_EMULATOR " '" + valtconf + "' set " + name + " '" + value + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // A service for call `id` with its "process" question queued.
    std::unique_ptr<CallPolicyService> MakeService(unsigned long long id) {
        auto service = std::make_unique<CallPolicyService>(new RecordingCall(id, mCommands));
        auto* request = new CallArrivedMethod();
        CallParams from;
        from.user = "5551234";
        CallParams to;
        to.user = "201";
        EXPECT_TRUE(request->SetParams(id, ExtCallType_TEL, "201", from, to, 0));
        CallPolicyServiceTestAccess::Queue(*service, request);
        return service;
    }

    TempRoot mTemp{false};
    std::string mRoot = mTemp.Path();
    std::vector<std::string> mCommands;
};

TEST_F(PolicyClient, RequestTextCarriesCredentialsHostAndBodyLength) {
    Set("policy-server", "127.0.0.1");
    Set("policy-port", "8080");
    Set("policy-user", "alice");
    Set("policy-password", "s3cret");
    CallPolicyService::ReadConfigs();
    auto service = MakeService(77);

    const std::string text = service->ComposeXmlRpcHttpRequest();
    const std::string head =
        "POST /RPC2 HTTP/1.0\r\nAccept: text/xml\r\nContent-Type: text/xml\r\n"
        "User-Agent: tovra xmlrpc client/1.0\r\nCache-Control: no-cache\r\n"
        "Authorization: Basic YWxpY2U6czNjcmV0\r\nHost: 127.0.0.1:8080\r\nContent-Length: ";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    const size_t blank = text.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    const std::string body = text.substr(blank + 4);
    EXPECT_EQ(text.substr(head.size(), blank - head.size()), std::to_string(body.size()));
    EXPECT_NE(body.find("<methodName>Services.CallProcessingService.process</methodName>"),
              std::string::npos);
    EXPECT_NE(body.find("<string>77</string>"), std::string::npos);
    // The one queued request was taken: nothing is left to send.
    EXPECT_EQ(service->ComposeXmlRpcHttpRequest(), "");

    // Credentials too long to encode: nothing is sent.
    Set("policy-password", std::string(3100, 'p'));
    CallPolicyService::ReadConfigs();
    auto tooLong = MakeService(78);
    EXPECT_EQ(tooLong->ComposeXmlRpcHttpRequest(), "");
    Set("policy-password", "");
    CallPolicyService::ReadConfigs();
}

TEST_F(PolicyClient, AnswerIsCarriedOutWhateverTheStatusAndFailuresAccept) {
    const std::string head = "HTTP/1.0 500 Internal Server Error\r\nContent-Type: text/xml\r\n\r\n";
    CallArrivedResponseMethod decline;
    ASSERT_TRUE(decline.SetParams(90, "busy"));
    std::string declineXml;
    ASSERT_TRUE(decline.BuildXML(declineXml));
    CallArrivedResponseMethod accept;
    ASSERT_TRUE(accept.SetParams(91, "100", "Front Desk", true));
    std::string acceptXml;
    ASSERT_TRUE(accept.BuildXML(acceptXml));

    auto declined = MakeService(90);
    declined->ComposeXmlRpcHttpRequest();
    EXPECT_TRUE(declined->ProcessXmlRpcHttpResponse((head + declineXml).c_str()));
    auto accepted = MakeService(91);
    accepted->ComposeXmlRpcHttpRequest();
    EXPECT_TRUE(
        accepted->ProcessXmlRpcHttpResponse(("HTTP/1.0 200 OK\r\n\r\n" + acceptXml).c_str()));
    // Cut short, or not XML-RPC at all: accepted by the fall-back.
    auto truncated = MakeService(92);
    truncated->ComposeXmlRpcHttpRequest();
    EXPECT_FALSE(truncated->ProcessXmlRpcHttpResponse(
        (head + declineXml.substr(0, declineXml.size() / 2)).c_str()));
    // No request sent yet: nothing to answer, nothing carried out.
    auto unsent = MakeService(93);
    EXPECT_FALSE(unsent->ProcessXmlRpcHttpResponse((head + declineXml).c_str()));

    const std::vector<std::string> expected = {"reject 90", "accept 91 100/Front Desk 1",
                                               "accept 92 / 0"};
    EXPECT_EQ(mCommands, expected);
}

}  // namespace
