#include "config/ConfigFile.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ConfigSandbox.h"

using Configuration::ConfigFile;

namespace {

ConfigFile OpenVersionFile(const std::string& path) {
    return ConfigFile(path, false, true, false, ":", "#", nullptr);
}

}  // namespace

TEST(ConfigFile, KeepsTheBlankAfterTheSeparatorAndSkipsComments) {
    ConfigSandbox sandbox;
    const std::string path = sandbox.Root() + "/version.txt";
    std::ofstream(path) << "# build info\n"
                           "  # indented comment: not a key\n"
                           "Version: 2.1\r\n"
                           "Flavour: beta\n"
                           "no separator here\n"
                           "Comment: test: with colon\n"
                           "Version: 9.9\n";
    const ConfigFile file = OpenVersionFile(path);
    char buffer[64];
    EXPECT_TRUE(file.GetEntry("Version", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, " 2.1");  // first line wins, CR removed, blank kept
    EXPECT_EQ(file.GetEntry("Flavour"), " beta");
    EXPECT_EQ(file.GetEntry("Comment"), " test: with colon");
    EXPECT_EQ(file.GetEntry("# indented comment"), "");
}

TEST(ConfigFile, MissingKeyGivesEmptyValueAndLongValuesAreCut) {
    ConfigSandbox sandbox;
    const std::string path = sandbox.Root() + "/version.txt";
    std::ofstream(path) << "Version: 2.1.0.12345\n";
    const ConfigFile file = OpenVersionFile(path);
    char buffer[6] = "stale";
    EXPECT_FALSE(file.GetEntry("Flavour", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(file.GetEntry("Version", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, " 2.1.");
}

TEST(ConfigFile, UnreadableFileThrowsWithItsPath) {
    ConfigSandbox sandbox;
    const std::string missing = sandbox.Root() + "/absent.txt";
    try {
        OpenVersionFile(missing);
        FAIL() << "no exception";
    } catch (const ConfigException& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos);
    }
    EXPECT_THROW(OpenVersionFile(sandbox.Root()), ConfigException);  // a directory
    // Only a writable file may be created.
    EXPECT_THROW(ConfigFile(missing, true, true, false, ":", "#", nullptr), ConfigException);
    ConfigFile created(missing, true, false, true, ":", "#", nullptr);
    EXPECT_EQ(created.GetEntry("Version"), "");
}

TEST(ConfigFile, TrimsValuesOnRequestAndFallsBackToDefaults) {
    ConfigSandbox sandbox;
    std::ofstream(sandbox.Root() + "/defaults") << "Version = 1.0\nFlavour = base\n";
    std::ofstream(sandbox.Root() + "/site") << "Version =  3.0 \n";
    const ConfigFile defaults(sandbox.Root() + "/defaults", false, true, true, "=", "#", nullptr);
    const ConfigFile site(sandbox.Root() + "/site", false, true, true, "=", "#", &defaults);
    EXPECT_EQ(site.GetEntry("Version"), "3.0");
    EXPECT_EQ(site.GetEntry("Flavour"), "base");
}
