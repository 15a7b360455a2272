// valtctl's command line: connection options, command sequences, the checks
// made before anything is sent, and the answer policy for offered calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Options.h"

namespace {

CommandLine Parse(std::vector<std::string> args) {
    return ParseCommandLine(args);
}

}  // namespace

// The connection options and command sequences are what tests/e2e/test_valtctl.py
// runs valtctl with (--tls --ca, --digest, --json, "create ... ; play ...").
TEST(OptionsTest, DoubleDashEndsTheOptionsOfACommand) {
    // So a display name may look like an option.
    const CommandLine line =
        Parse({"--user", "201", "create", "--", "pbx:201", "tel:300", "--watch"});
    EXPECT_FALSE(line.commands[0].Has("watch"));
    EXPECT_EQ(line.commands[0].positional.back(), "--watch");
    EXPECT_NO_THROW(Parse({"--user", "201", "unjoin", "18446744073709551615", "0"}));
}

TEST(OptionsTest, RefusesBadCommandLinesBeforeConnecting) {
    const std::vector<std::vector<std::string>> bad = {
        {"--user", "201"},                               // no command
        {"create", "pbx:201", "tel:300"},                // no user
        {"--user", "201", "--bogus", "sysinfo"},         // unknown global option
        {"--user", "201", "frobnicate"},                 // unknown command
        {"--user", "201", "close"},                      // missing ID
        {"--user", "201", "close", "1", "2"},            // too many
        {"--user", "201", "take", "--answer"},           // option without value
        {"--user", "201", "take", "--id", "3", "201"},   // option of another command
        {"--user", "201", "wait", "--count", "-1"},      // not a count
        {"--user", "201", "--port", "http", "sysinfo"},  // not a port
        {"--user", "201", "--ca", "ca.pem", "sysinfo"},  // --ca without --tls
        {"--user", "201", "--insecure", "sysinfo"},      // --insecure without --tls
        {"--user", "201", "--tls", "--insecure", "--ca", "c", "sysinfo"},  // check and not
        {"--user", "201", "sysinfo", ";", "close"},              // second command incomplete
        {"--user", "201", "close", "x1"},                        // not a call ID
        {"--user", "201", "join", "1", "18446744073709551616"},  // beyond 64 bits
        {"--user", "201", "detect-dtmf", "1", "yes"},            // neither on nor off
        {"--user", "201", "--port", "99999", "sysinfo"},         // beyond the port range
        {"--user", "201", "--timeout=0", "sysinfo"},             // no time to wait
        {"--user", "201", "prompts", "list", "9", "201"},        // no such prompt type
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        EXPECT_THROW(Parse(args), UsageError) << joined;
    }
}

TEST(OptionsTest, GlobalOptionsBeforeOrAfterTheCommandInEitherForm) {
    const CommandLine line = Parse({"sysinfo", "--json", "--user=201", "--port", "5000"});
    EXPECT_TRUE(line.global.json);
    EXPECT_EQ(line.global.user, "201");
    EXPECT_EQ(line.global.port, "5000");
    EXPECT_TRUE(Parse({"--version"}).global.version);
}

TEST(OptionsTest, HelpNeedsNoUserAndNoArguments) {
    EXPECT_TRUE(Parse({"--help"}).global.help);
    CommandLine line = Parse({"take", "--help"});
    ASSERT_EQ(line.commands.size(), 1u);
    EXPECT_TRUE(line.commands[0].help);
    line = Parse({"help", "prompts"});
    EXPECT_TRUE(line.commands.at(0).help);
    EXPECT_NE(CommandHelp(*FindCommand("prompts")).find("prompts upload TYPE EXT FILE"),
              std::string::npos);
    // Every command is listed in the overview.
    const std::string overview = OverviewHelp();
    for (const CommandSpec& entry : CommandSpecs()) {
        EXPECT_NE(overview.find(std::string("  ") + entry.name + " "), std::string::npos)
            << entry.name;
    }
}

TEST(OptionsTest, PasswordFromTheEnvironmentUnlessGiven) {
    setenv("VALTCTL_PASSWORD", "fromenv", 1);
    EXPECT_EQ(Parse({"--user", "201", "sysinfo"}).global.password, "fromenv");
    EXPECT_EQ(Parse({"--user", "201", "--password", "", "sysinfo"}).global.password, "");
    unsetenv("VALTCTL_PASSWORD");
}

TEST(OptionsTest, AnswerPolicies) {
    AnswerPolicy policy;
    policy.remoteControl = true;
    std::string error;
    ASSERT_TRUE(ParseAnswer("decline", policy, error));
    EXPECT_EQ(policy.kind, AnswerPolicy::kDecline);
    EXPECT_TRUE(policy.remoteControl);  // kept across answers
    ASSERT_TRUE(ParseAnswer("redirect:pbx:202,tel:0301234,sip:bob@example.org", policy, error));
    EXPECT_EQ(policy.kind, AnswerPolicy::kRedirect);
    EXPECT_EQ(policy.targets,
              (std::vector<std::string>{"pbx:202", "tel:0301234", "sip:bob@example.org"}));
    ASSERT_TRUE(ParseAnswer("r pbx:203", policy, error));
    EXPECT_EQ(policy.targets, std::vector<std::string>{"pbx:203"});
    ASSERT_TRUE(ParseAnswer("a", policy, error));
    EXPECT_EQ(policy.kind, AnswerPolicy::kAccept);

    for (const char* text : {"", "maybe", "redirect:", "redirect:pbx:202,", "redirect:sip:@"}) {
        AnswerPolicy unchanged;
        unchanged.kind = AnswerPolicy::kDecline;
        EXPECT_FALSE(ParseAnswer(text, unchanged, error)) << text;
        EXPECT_EQ(unchanged.kind, AnswerPolicy::kDecline) << text;
        EXPECT_FALSE(error.empty());
    }
}
