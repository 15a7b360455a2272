#include "config/ExtensionManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ConfigSandbox.h"
#include "config/ConfigSqlite.h"
#include "config/ExtVMBox.h"

namespace {

std::vector<std::string> Numbers(const ExtensionList& list) {
    std::vector<std::string> numbers;
    for (const auto& ext : list) {
        numbers.push_back(ext->GetNumber());
    }
    return numbers;
}

class ExtensionManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sb.Ok({"add-extension", "300", "--kind", "user", "--password", "p300",
                         "--prompt-dir", "/prompts/300", "--prompt-share", "5"}),
                  "");
        ASSERT_EQ(sb.Ok({"add-extension", "500", "--kind", "aa", "--prompt-dir", "/aa/500",
                         "--prompt-share", "25.5"}),
                  "");
        ASSERT_EQ(sb.Ok({"add-extension", "100", "--kind", "user", "--password", "p100"}), "");
        ASSERT_EQ(sb.Ok({"add-extension", "200", "--kind", "user", "--password", "p200"}), "");
    }
    ConfigSandbox sb;
};

}  // namespace

TEST_F(ExtensionManagerTest, ListsUserExtensionsInTheOrderTheyWereAdded) {
    ExtensionManager manager(sb.Db("extensiondb"), false);
    ASSERT_TRUE(manager.IsOpen());
    const ExtensionList users = manager.GetExtensions(ExtType_User, false);
    EXPECT_EQ(Numbers(users), (std::vector<std::string>{"300", "100", "200"}));
    EXPECT_EQ(Numbers(manager.GetExtensions(ExtType_AA, false)), std::vector<std::string>{"500"});

    // The password is part 0x40 and is read only when that part is loaded.
    ExtensionBase& second = *std::next(users.begin())->get();
    EXPECT_EQ(second.GetPassword(), "");
    ASSERT_TRUE(second.load(ExtensionBase::kPartUserSettings));
    EXPECT_EQ(second.GetPassword(), "p100");

    const ExtensionList full = manager.GetExtensions(ExtType_User, true);
    EXPECT_EQ(full.front()->GetPassword(), "p300");
    EXPECT_EQ(full.front()->GetPromptDir(), "/prompts/300");
}

// One extension with its prompt part (user, auto-attendant, system) is what
// the prompt services look up in tests/e2e/test_services.py and
// SystemServicesTest.ListsRegularFilesOfTheDirectoryChosenByType.
TEST_F(ExtensionManagerTest, DuplicateNumberGivesTheFirstAdded) {
    ASSERT_EQ(sb.Ok({"add-extension", "100", "--kind", "user", "--password", "later",
                     "--allow-duplicate"}),
              "");
    ExtensionManager manager(sb.Db("extensiondb"), true);
    auto found = manager.GetExtension(ExtType_User, "100", false);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->GetPassword(), "p100");
    EXPECT_EQ(Numbers(manager.GetExtensions(ExtType_User, false)),
              (std::vector<std::string>{"300", "100", "200", "100"}));
}

TEST_F(ExtensionManagerTest, ExtensionOutlivesItsManagerAndFailsLoadOnceRemoved) {
    std::unique_ptr<ExtensionBase> ext;
    {
        ExtensionManager manager(sb.Db("extensiondb"), false);
        ext = manager.GetExtension(ExtType_User, "200", false);
    }
    ASSERT_NE(ext, nullptr);
    EXPECT_TRUE(ext->load(ExtensionBase::kPartUserSettings));
    ASSERT_EQ(sb.Ok({"remove", "extension", "200"}), "");
    EXPECT_FALSE(ext->load(ExtensionBase::kPartUserSettings));
    EXPECT_EQ(ext->GetPassword(), "p200");  // what was loaded stays
}

TEST(ExtensionManagerFaults, MissingOrCorruptDatabaseFindsNothing) {
    ConfigSandbox sb;
    ExtensionManager missing(sb.Db("extensiondb"), false);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_TRUE(missing.GetExtensions(ExtType_User, false).empty());
    EXPECT_EQ(missing.GetSystemExtension(true), nullptr);

    ASSERT_EQ(sb.Ok({"init"}), "");
    sb.Corrupt("extensiondb");
    ExtensionManager corrupt(sb.Db("extensiondb"), false);
    EXPECT_TRUE(corrupt.GetExtensions(ExtType_User, false).empty());
    EXPECT_EQ(corrupt.GetExtension(ExtType_User, "100", false), nullptr);
}

TEST(ExtensionManagerFaults, ReaderWaitsForAWriterToFinish) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"add-extension", "100", "--kind", "user", "--no-password"}), "");
    SqliteHandle writer = OpenConfigDb(sb.Db("extensiondb"), false);
    ASSERT_EQ(sqlite3_exec(writer.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([&writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(writer.get(), "COMMIT", nullptr, nullptr, nullptr);
    });
    ExtensionManager manager(sb.Db("extensiondb"), false);
    const size_t found = manager.GetExtensions(ExtType_User, false).size();
    release.join();
    EXPECT_EQ(found, 1u);
}

TEST(ExtVMBox, RefreshedByEachExtensionManagerFromSystemdb) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"set", "vm-total-space-kb", "5000"}), "");
    ExtensionManager first(sb.Db("extensiondb"), false);
    EXPECT_EQ(ExtVMBox::mnsVMTotalSpace, 5000);

    sb.Corrupt("systemdb");  // an unreadable total keeps the last one read
    ExtensionManager second(sb.Db("extensiondb"), false);
    EXPECT_EQ(ExtVMBox::mnsVMTotalSpace, 5000);
    EXPECT_FALSE(ExtVMBox::Load(sb.Db("systemdb")));
}
