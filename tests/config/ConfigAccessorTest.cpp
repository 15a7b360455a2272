#include <gtest/gtest.h>

#include <thread>

#include "ConfigSandbox.h"
#include "config/AccountRights.h"
#include "config/CallPolicyAccessor.h"
#include "config/ConfigAdmin.h"
#include "config/ConfigSqlite.h"
#include "config/GatewayAccessor.h"

TEST(ConfigPaths, OrbaPathIsTakenUnchangedElseTheRootPrefix) {
    setenv("ORBA_PATH", "/opt/conf-", 1);
    EXPECT_EQ(ExtensionDbPath(), "/opt/conf-telephony/extensiondb");
    unsetenv("ORBA_PATH");
    setenv("VALTD_ROOT", "/sandbox/", 1);
    EXPECT_EQ(LineDbPath(), "/sandbox/etc/orba-conf/telephony/linedb");
    unsetenv("VALTD_ROOT");
    EXPECT_EQ(ConfigDbDirectory(), "/etc/orba-conf/telephony/");
}

TEST(ConfigAccessors, NoInstanceWithoutTheSystemDatabase) {
    ConfigSandbox sb;
    EXPECT_EQ(CallPolicyAccessor::GetInstance(true), nullptr);
    EXPECT_EQ(ConfigAdmin::GetInstance(false), nullptr);
    EXPECT_EQ(GatewayAccessor::GetInstance(true), nullptr);
    CallPolicyAccessor::CloseInstance();  // harmless without an instance
}

// The values the accessors read from the stored settings are those the daemon
// runs with in every end-to-end test (listen port, request time-out, policy
// server and credentials, administrator account); here the defaults.
TEST(ConfigAccessors, DefaultsBeforeAnySetting) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"init"}), "");
    CallPolicyAccessor* policy = CallPolicyAccessor::GetInstance(true);
    ASSERT_NE(policy, nullptr);
    EXPECT_EQ(policy->GetListenPort(), "4849");
    EXPECT_EQ(policy->GetRequestTimeout(), "10");
    EXPECT_FALSE(policy->IsSecureListen());
    EXPECT_EQ(policy->GetServerAddress(), "");
    EXPECT_EQ(policy->GetServerPort(), "443");
    EXPECT_TRUE(policy->IsSecure());
    // What init stores for a new installation.
    EXPECT_EQ(policy->GetPolicyCaFile(), "system");
    EXPECT_TRUE(policy->IsRequireAuth());
    EXPECT_TRUE(policy->IsAccountRights());
    CallPolicyAccessor::CloseInstance();
}

// The grants the control server checks: as valtconf stored them, every right
// for the administrator, none in a database made before there were grants.
TEST(ConfigAccessors, AccountRightsAndGrants) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"set", "admin-user", "boss"}), "");
    CallPolicyAccessor* policy = CallPolicyAccessor::GetInstance(true);
    EXPECT_FALSE(policy->IsAccountRights());  // a configuration without the setting
    ASSERT_EQ(sb.Ok({"set", "account-rights", "on"}), "");
    ASSERT_EQ(sb.Ok({"set", "policy-ca-file", "system"}), "");
    ASSERT_EQ(policy->load(), 1);
    EXPECT_TRUE(policy->IsAccountRights());
    EXPECT_EQ(policy->GetPolicyCaFile(), "system");
    CallPolicyAccessor::CloseInstance();

    ASSERT_EQ(sb.Ok({"grant", "201", "cdr,routing"}), "");
    EXPECT_TRUE(AccountHasRight("201", Right::kCdr));
    EXPECT_FALSE(AccountHasRight("201", Right::kAnyExtension));
    EXPECT_FALSE(AccountHasRight("202", Right::kCdr));
    EXPECT_FALSE(AccountHasRight("201", nullptr));
    EXPECT_TRUE(AccountHasRight("boss", Right::kConfigUpload));
    EXPECT_TRUE(IsAdminAccount("boss"));
    EXPECT_FALSE(IsAdminAccount("201"));
    ASSERT_EQ(sb.Ok({"set", "admin-user", ""}), "");
    EXPECT_FALSE(IsAdminAccount(""));  // no administrator, not the empty name

    const std::string old = sb.Root() + "/old-systemdb";
    sqlite3* raw = nullptr;
    sqlite3_open(old.c_str(), &raw);
    SqliteHandle db(raw);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE settings (name TEXT PRIMARY KEY, value TEXT); "
                           "INSERT INTO settings VALUES ('admin-user', 'root')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    AccountGrants grants;
    ASSERT_TRUE(grants.Load(old));
    EXPECT_FALSE(grants.Has("201", Right::kCdr));
    EXPECT_TRUE(grants.Has("root", Right::kCdr));
    sb.Corrupt("systemdb");
    EXPECT_FALSE(grants.Load(sb.Db("systemdb")));
    EXPECT_FALSE(AccountHasRight("boss", Right::kCdr));
}

TEST(ConfigAccessors, EachThreadHasItsOwnInstance) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"init"}), "");
    CallPolicyAccessor* mine = CallPolicyAccessor::GetInstance(true);
    CallPolicyAccessor* theirs = nullptr;
    std::thread([&theirs] {
        theirs = CallPolicyAccessor::GetInstance(true);
        CallPolicyAccessor::CloseInstance();
    }).join();
    EXPECT_NE(theirs, nullptr);
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(mine->GetListenPort(), "4849");  // still usable after the other closed
    CallPolicyAccessor::CloseInstance();
}

TEST(ConfigAccessors, CorruptDatabaseFailsTheLoadAndKeepsValues) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"set", "listen-port", "6000"}), "");
    CallPolicyAccessor* policy = CallPolicyAccessor::GetInstance(true);
    ASSERT_EQ(policy->GetListenPort(), "6000");
    sb.Corrupt("systemdb");
    EXPECT_EQ(policy->load(), 0);
    EXPECT_EQ(policy->GetListenPort(), "6000");
    CallPolicyAccessor::CloseInstance();

    ConfigAdmin* admin = ConfigAdmin::GetInstance(true);
    ASSERT_NE(admin, nullptr);
    EXPECT_EQ(admin->load(), 0);
    ConfigAdmin::CloseInstance();
    GatewayAccessor* gateways = GatewayAccessor::GetInstance(true);
    ASSERT_NE(gateways, nullptr);
    std::list<const GatewayBlock*> blocks;
    EXPECT_EQ(gateways->GetGatewayBlocks(blocks, GatewayType_REREV), 0u);
    GatewayAccessor::CloseInstance();
}

TEST(ConfigAccessors, GatewayBlocksOfOneTypeInIdOrder) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"add-gateway", "12", "--type", "3"}), "");
    ASSERT_EQ(sb.Ok({"add-gateway", "4", "--type", "1"}), "");
    ASSERT_EQ(sb.Ok({"add-gateway", "5", "--type", "3"}), "");
    GatewayAccessor* accessor = GatewayAccessor::GetInstance(true);
    ASSERT_NE(accessor, nullptr);
    std::list<const GatewayBlock*> blocks;
    ASSERT_EQ(accessor->GetGatewayBlocks(blocks, GatewayType_REREV), 2u);
    EXPECT_EQ(blocks.front()->mnGatewayId, 5u);
    EXPECT_EQ(blocks.back()->mnGatewayId, 12u);
    EXPECT_EQ(accessor->GetGatewayBlocks(blocks, -1), 3u);
    EXPECT_EQ(blocks.size(), 5u);
    GatewayAccessor::CloseInstance();
}
