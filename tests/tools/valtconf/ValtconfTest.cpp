#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ConfigSandbox.h"

namespace {

mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

bool Mentions(const ValtconfResult& r, const std::string& text) {
    return r.err.find(text) != std::string::npos;
}

}  // namespace

TEST(Valtconf, InitCreatesPrivateDatabasesUnderTheRootAndIsIdempotent) {
    ConfigSandbox sb;
    unsetenv("ORBA_PATH");
    setenv("VALTD_ROOT", sb.Root().c_str(), 1);
    const std::string dir = sb.Root() + "/etc/orba-conf/telephony/";
    ASSERT_EQ(sb.Ok({"init"}), "");
    ASSERT_EQ(sb.Ok({"set", "listen-port", "5001"}), "");
    ASSERT_EQ(sb.Ok({"init"}), "");
    for (const char* name : {"extensiondb", "linedb", "systemdb"}) {
        EXPECT_EQ(Mode(dir + name), 0600u) << name;
    }
    EXPECT_EQ(sb.Ok({"get", "listen-port"}), "5001\n");
    // A new installation gets the safe settings, and keeps them through the
    // second init; a configuration that existed before init keeps its own.
    EXPECT_EQ(sb.Ok({"get", "require-auth"}), "true\n");
    EXPECT_EQ(sb.Ok({"get", "account-rights"}), "true\n");
    unsetenv("VALTD_ROOT");
    ConfigSandbox old;
    ASSERT_EQ(old.Ok({"add-extension", "100", "--kind", "aa"}), "");
    ASSERT_EQ(old.Ok({"init"}), "");
    EXPECT_EQ(old.Ok({"get", "require-auth"}), "false\n");
    EXPECT_EQ(old.Ok({"get", "account-rights"}), "false\n");
}

TEST(Valtconf, SettingsAreCheckedAndNormalised) {
    ConfigSandbox sb;
    // Reading makes nothing: without a database it fails, and leaves none.
    const ValtconfResult none = sb.Run({"get", "request-timeout"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(Mentions(none, "no configuration database"));
    EXPECT_EQ(sb.Run({"list", "settings"}).exitCode, 1);
    EXPECT_EQ(sb.Run({"check"}).exitCode, 1);
    ASSERT_EQ(sb.Ok({"add-extension", "100", "--kind", "aa"}), "");
    EXPECT_EQ(sb.Run({"get", "request-timeout"}).exitCode, 1);
    EXPECT_EQ(sb.Ok({"set", "listen-port", "4849"}), "");
    EXPECT_EQ(sb.Ok({"get", "request-timeout"}), "10\n");  // default before any set
    EXPECT_EQ(sb.Ok({"set", "secure-listen", "yes"}), "");
    EXPECT_EQ(sb.Ok({"get", "secure-listen"}), "true\n");
    EXPECT_EQ(sb.Ok({"set", "request-timeout", "0"}), "");
    EXPECT_EQ(sb.Ok({"set", "policy-password", ""}), "");
    for (const char* endpoint : {"9484", "[::1]:9484", ":9484", "127.0.0.1:9484", ""}) {
        EXPECT_EQ(sb.Ok({"set", "metrics-listen", endpoint}), "") << endpoint;
    }

    for (auto bad : {std::pair<const char*, const char*>{"listen-port", "65536"},
                     {"listen-port", "12ab"},
                     {"policy-port", "-1"},
                     {"request-timeout", "ten"},
                     {"secure-listen", "maybe"},
                     {"vm-total-space-kb", "-5"},
                     {"listen-address", "example.org"},
                     {"metrics-listen", "::1:9484"},
                     {"metrics-listen", "localhost:9484"}}) {
        const ValtconfResult r = sb.Run({"set", bad.first, bad.second});
        EXPECT_EQ(r.exitCode, 2) << bad.first << "=" << bad.second;
        EXPECT_TRUE(Mentions(r, bad.first)) << r.err;
    }
    EXPECT_EQ(sb.Ok({"get", "listen-port"}), "4849\n");  // unchanged by the refusals
    const ValtconfResult unknown = sb.Run({"get", "listen_port"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(Mentions(unknown, "unknown setting 'listen_port'"));
    EXPECT_EQ(sb.Run({"set", "listen-port"}).exitCode, 2);
}

TEST(Valtconf, ExtensionCommandsAndTheirErrors) {
    ConfigSandbox sb;
    EXPECT_EQ(sb.Run({"add-extension", "100"}).exitCode, 2);  // no --kind
    EXPECT_EQ(sb.Run({"add-extension", "100", "--kind", "boss"}).exitCode, 2);
    EXPECT_EQ(sb.Run({"add-extension", "100", "--kind", "aa", "--prompt-share", "101"}).exitCode,
              2);
    EXPECT_EQ(sb.Run({"add-extension", "100", "--kind", "user", "--colour", "red"}).exitCode, 2);
    EXPECT_EQ(sb.Run({"add-extension", "100", "--kind", "user", "--password"}).exitCode, 2);
    // An account is made with a password, or without one on purpose only.
    for (auto none :
         {std::initializer_list<std::string>{"add-extension", "100", "--kind", "user"},
          {"add-extension", "100", "--kind", "user", "--password", ""},
          {"add-extension", "100", "--kind", "user", "--password", "x", "--no-password"},
          {"add-fxs-line", "7", "1", "--user", "u", "--password="}}) {
        const ValtconfResult r = sb.Run(none);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_TRUE(Mentions(r, "password")) << r.err;
    }

    EXPECT_EQ(sb.Ok({"add-extension", "100", "--kind=user", "--password", "x"}), "");
    EXPECT_EQ(sb.Ok({"add-extension", "100", "--kind", "aa", "--prompt-dir", "/aa"}), "");
    const ValtconfResult dup = sb.Run({"add-extension", "100", "--kind", "user", "--no-password"});
    EXPECT_EQ(dup.exitCode, 1);
    EXPECT_TRUE(Mentions(dup, "already exists"));
    EXPECT_EQ(sb.Ok({"add-extension", "0", "--kind", "system"}), "");
    EXPECT_EQ(sb.Run({"add-extension", "1", "--kind", "system"}).exitCode, 1);

    EXPECT_EQ(sb.Ok({"list", "extensions"}), "100\tuser\t\t0\n100\taa\t/aa\t0\n0\tsystem\t\t0\n");
    EXPECT_EQ(sb.Ok({"remove", "extension", "100", "--kind", "aa"}), "");
    EXPECT_EQ(sb.Run({"remove", "extension", "100", "--kind", "aa"}).exitCode, 1);
    EXPECT_EQ(sb.Ok({"list", "extensions"}), "100\tuser\t\t0\n0\tsystem\t\t0\n");
}

TEST(Valtconf, GatewayAndLineCommandsAndTheirErrors) {
    ConfigSandbox sb;
    const ValtconfResult orphan =
        sb.Run({"add-fxs-line", "7", "1", "--user", "u", "--password", "p"});
    EXPECT_EQ(orphan.exitCode, 1);
    EXPECT_TRUE(Mentions(orphan, "no gateway 7"));
    EXPECT_EQ(sb.Run({"add-gateway", "7"}).exitCode, 2);  // no --type
    EXPECT_EQ(sb.Run({"add-gateway", "4294967296", "--type", "3"}).exitCode, 2);
    EXPECT_EQ(sb.Ok({"add-gateway", "7", "--type", "3"}), "");
    EXPECT_EQ(sb.Run({"add-gateway", "7", "--type", "1"}).exitCode, 1);
    EXPECT_EQ(sb.Run({"add-fxs-line", "7", "x", "--user", "u", "--password", "p"}).exitCode, 2);
    EXPECT_EQ(sb.Run({"add-fxs-line", "7", "1", "--user", "u"}).exitCode, 2);  // no password
    EXPECT_EQ(sb.Ok({"add-fxs-line", "7", "1", "--user", "u", "--password", "p"}), "");
    EXPECT_EQ(sb.Run({"add-fxs-line", "7", "1", "--user", "v", "--password", "p"}).exitCode, 1);
    EXPECT_EQ(sb.Ok({"add-cm-line", "7", "1", "--extension", "201"}), "");

    EXPECT_EQ(sb.Ok({"list", "gateways"}), "7\t3\n");
    EXPECT_EQ(sb.Ok({"list", "fxs-lines"}), "7\t1\tu\n");
    EXPECT_EQ(sb.Ok({"list", "cm-lines"}), "7\t1\t201\n");
    EXPECT_EQ(sb.Ok({"remove", "cm-line", "7", "1"}), "");
    EXPECT_EQ(sb.Ok({"list", "cm-lines"}), "");
    EXPECT_EQ(sb.Ok({"list", "fxs-lines"}), "7\t1\tu\n");  // the other table is untouched
    EXPECT_EQ(sb.Run({"remove", "cm-line", "7", "1"}).exitCode, 1);
    EXPECT_EQ(sb.Ok({"remove", "gateway", "7"}), "");
    EXPECT_EQ(sb.Run({"remove", "gateway"}).exitCode, 2);
    EXPECT_EQ(sb.Run({"list", "phones"}).exitCode, 2);
}

TEST(Valtconf, SecretsStayOutOfListingsUnlessAskedFor) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"set", "admin-password", "adm1n"}), "");
    ASSERT_EQ(sb.Ok({"set", "policy-password", "p0l"}), "");
    ASSERT_EQ(sb.Ok({"add-gateway", "7", "--type", "3"}), "");
    ASSERT_EQ(sb.Ok({"add-fxs-line", "7", "1", "--user", "u", "--password", "l1ne"}), "");
    ASSERT_EQ(sb.Ok({"add-extension", "100", "--kind", "user", "--password", "e8t"}), "");
    std::string all;
    for (const char* what : {"settings", "extensions", "fxs-lines"}) {
        all += sb.Ok({"list", what});
    }
    for (const char* secret : {"adm1n", "p0l", "l1ne", "e8t"}) {
        EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in\n" << all;
    }
    EXPECT_NE(all.find("admin-password\t(hidden)\n"), std::string::npos);
    EXPECT_NE(all.find("admin-user\t\n"), std::string::npos);  // not a secret
    const std::string shown = sb.Ok({"list", "settings", "--show-secrets"});
    EXPECT_NE(shown.find("admin-password\tadm1n\n"), std::string::npos);
    EXPECT_NE(shown.find("policy-password\tp0l\n"), std::string::npos);
}

TEST(Valtconf, GrantsAreCheckedListedAndRevoked) {
    ConfigSandbox sb;
    EXPECT_EQ(sb.Ok({"grant", "201", "cdr,routing", "any-extension"}), "");
    EXPECT_EQ(sb.Ok({"grant", "201", "cdr"}), "");  // held already
    EXPECT_EQ(sb.Ok({"grant", "ipuser", "config-upload"}), "");
    const ValtconfResult unknown = sb.Run({"grant", "202", "cdr,everything"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(Mentions(unknown,
                         "unknown right 'everything' (rights: cdr, routing, "
                         "any-extension, system-prompts, config-upload)"))
        << unknown.err;
    EXPECT_EQ(sb.Run({"grant", "202"}).exitCode, 2);
    EXPECT_EQ(sb.Run({"grant", "", "cdr"}).exitCode, 2);
    EXPECT_EQ(sb.Ok({"list", "rights"}),
              "201\tany-extension\n201\tcdr\n201\trouting\nipuser\tconfig-upload\n");

    EXPECT_EQ(sb.Ok({"revoke", "201", "routing"}), "");
    EXPECT_EQ(sb.Run({"revoke", "201", "routing"}).exitCode, 1);  // no longer held
    EXPECT_EQ(sb.Run({"revoke", "201"}).exitCode, 2);             // neither rights nor --all
    EXPECT_EQ(sb.Run({"revoke", "201", "cdr", "--all"}).exitCode, 2);
    EXPECT_EQ(sb.Ok({"revoke", "201", "--all"}), "");
    EXPECT_EQ(sb.Ok({"list", "rights"}), "ipuser\tconfig-upload\n");
}

TEST(Valtconf, HelpUnknownCommandsAndCorruptDatabases) {
    ConfigSandbox sb;
    const ValtconfResult help = sb.Run({"add-cm-line", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--extension"), std::string::npos);
    EXPECT_EQ(sb.Run({"--help"}).exitCode, 0);
    EXPECT_EQ(sb.Run({}).exitCode, 2);
    EXPECT_EQ(sb.Run({"frobnicate"}).exitCode, 2);

    ASSERT_EQ(sb.Ok({"init"}), "");
    sb.Corrupt("systemdb");
    const ValtconfResult corrupt = sb.Run({"set", "listen-port", "1"});
    EXPECT_EQ(corrupt.exitCode, 1);
    EXPECT_TRUE(Mentions(corrupt, "systemdb")) << corrupt.err;
}

TEST(Valtconf, CheckNamesEveryProblemAndPassesAGoodConfiguration) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"init"}), "");
    EXPECT_EQ(sb.Ok({"check"}), "configuration OK\n");
    setenv("VALTD_ROOT", sb.Root().c_str(), 1);
    ASSERT_EQ(sb.Ok({"add-extension", "201", "--kind", "user", "--no-password", "--prompt-dir",
                     sb.Root() + "/absent"}),
              "");
    ASSERT_EQ(sb.Ok({"set", "secure-listen", "true"}), "");
    const ValtconfResult r = sb.Run({"check"});
    unsetenv("VALTD_ROOT");
    EXPECT_EQ(r.exitCode, 1);
    for (const char* problem : {"user extension 201 has no password", "prompt folder",
                                "/etc/ssl.crt/server.crt is missing", "3 problem(s)"}) {
        EXPECT_NE((r.out + r.err).find(problem), std::string::npos) << problem;
    }
}
