#include <gtest/gtest.h>

#include <thread>

#include "ConfigSandbox.h"
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
    CallPolicyAccessor::CloseInstance();
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
