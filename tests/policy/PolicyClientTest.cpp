// The policy client's request text and answer handling, without the worker:
// settings written with the real valtconf into a throw-away ORBA_PATH, a call
// that counts the decisions it is given.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "PolicyTestSupport.h"
#include "TempRoot.h"
#include "policy/Base64.h"

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

class PolicyClient : public ::testing::Test {
  protected:
    void SetUp() override { setenv("ORBA_PATH", (mRoot + "/").c_str(), 1); }
    void TearDown() override { unsetenv("ORBA_PATH"); }

    // Writes one setting with the valtconf built beside this test.
    void Set(const std::string& name, const std::string& value) {
        const std::string valtconf =
            (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "valtconf").string();
        const std::string command =
            VALTD_TEST_EMULATOR " '" + valtconf + "' set " + name + " '" + value + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    TempRoot mTemp{false};
    std::string mRoot = mTemp.Path();
    int mDecisions = 0;
};

TEST_F(PolicyClient, RequestTextCarriesCredentialsHostAndBodyLength) {
    Set("policy-server", "127.0.0.1");
    Set("policy-port", "8080");
    Set("policy-user", "alice");
    Set("policy-password", "s3cret");
    CallPolicyService::ReadConfigs();
    auto service = ServiceWithQuestion(77, mDecisions);

    const std::string text = service->ComposeXmlRpcHttpRequest();
    const std::string head =
        "POST /RPC2 HTTP/1.0\r\nAccept: text/xml\r\nContent-Type: text/xml\r\n"
        "User-Agent: tovra xmlrpc client/1.0\r\nCache-Control: no-cache\r\n"
        "Authorization: Basic YWxpY2U6czNjcmV0\r\nHost: 127.0.0.1:8080\r\nContent-Length: ";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    // The body and its length are read by the policy server of
    // tests/e2e/test_policy.py.
    // The one queued request was taken: nothing is left to send.
    EXPECT_EQ(service->ComposeXmlRpcHttpRequest(), "");

    // Credentials too long to encode: nothing is sent.
    Set("policy-password", std::string(3100, 'p'));
    CallPolicyService::ReadConfigs();
    auto tooLong = ServiceWithQuestion(78, mDecisions);
    EXPECT_EQ(tooLong->ComposeXmlRpcHttpRequest(), "");
    Set("policy-password", "");
    CallPolicyService::ReadConfigs();
}

// What the answers carry out, and the fall-back for answers that do not
// parse, are driven by fuzz_replay.policy_fuzzer and tests/e2e/test_policy.py.
TEST_F(PolicyClient, AnswerWithoutAQuestionCarriesOutNothing) {
    CallArrivedResponseMethod decline;
    ASSERT_TRUE(decline.SetParams(93, "busy"));
    std::string text = "HTTP/1.0 200 OK\r\n\r\n";
    ASSERT_TRUE(decline.BuildXML(text));
    EXPECT_FALSE(ServiceWithQuestion(93, mDecisions)->ProcessXmlRpcHttpResponse(text.c_str()));
    EXPECT_EQ(mDecisions, 0);
}

}  // namespace
