#include "config/LineManager.h"

#include <gtest/gtest.h>

#include "ConfigSandbox.h"

namespace {

std::vector<unsigned long> LineIds(const LineList& lines) {
    std::vector<unsigned long> ids;
    for (const auto& line : lines) {
        ids.push_back(line->GetLineId());
    }
    return ids;
}

}  // namespace

TEST(LineManager, ListsTheFxsLinesOfAGatewayByLineId) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"add-gateway", "7", "--type", "3"}), "");
    ASSERT_EQ(sb.Ok({"add-gateway", "9", "--type", "3"}), "");
    ASSERT_EQ(sb.Ok({"add-fxs-line", "7", "3", "--user", "carol", "--password", "c"}), "");
    ASSERT_EQ(sb.Ok({"add-fxs-line", "7", "1", "--user", "alice", "--password", "a"}), "");
    ASSERT_EQ(sb.Ok({"add-fxs-line", "9", "2", "--user", "bob", "--password", "b"}), "");

    LineManager fxs(LineManagerBase::LineMngType_FXS, sb.Db("linedb"), true);
    LineList lines;
    ASSERT_TRUE(fxs.GetLines(7, lines, false));
    EXPECT_EQ(LineIds(lines), (std::vector<unsigned long>{1, 3}));
    const auto& first = static_cast<const FxsLine&>(*lines.front());
    EXPECT_EQ(first.GetGatewayId(), 7u);
    EXPECT_EQ(first.GetUserName(), "alice");
    EXPECT_EQ(first.GetPassword(), "a");

    ASSERT_TRUE(fxs.GetLines(9, lines, true));  // appended after gateway 7's
    EXPECT_EQ(LineIds(lines), (std::vector<unsigned long>{1, 3, 2}));
    ASSERT_TRUE(fxs.GetLines(8, lines, false));  // replaced by nothing
    EXPECT_TRUE(lines.empty());
}

TEST(LineManager, FindsTheCallManagerLineOfAPort) {
    ConfigSandbox sb;
    ASSERT_EQ(sb.Ok({"add-gateway", "7", "--type", "3"}), "");
    ASSERT_EQ(sb.Ok({"add-fxs-line", "7", "1", "--user", "alice", "--password", "a"}), "");
    ASSERT_EQ(sb.Ok({"add-cm-line", "7", "1", "--extension", "201"}), "");

    LineManager cm(LineManagerBase::LineMngType_CM, sb.Db("linedb"), true);
    auto line = cm.GetLine(7, 1, true);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(static_cast<const CmLine&>(*line).GetExtension(), "201");
    EXPECT_EQ(cm.GetLine(7, 2, true), nullptr);
    EXPECT_EQ(cm.GetLine(1, 7, true), nullptr);  // gateway and line not swapped
    // The FXS table is a different one: line (7, 1) there is alice's port.
    LineManager fxs(LineManagerBase::LineMngType_FXS, sb.Db("linedb"), true);
    auto port = fxs.GetLine(7, 1, true);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(static_cast<const FxsLine&>(*port).GetUserName(), "alice");
}

TEST(LineManager, MissingOrCorruptDatabaseFindsNothing) {
    ConfigSandbox sb;
    LineList lines;
    LineManager missing(LineManagerBase::LineMngType_FXS, sb.Db("linedb"), true);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.GetLines(7, lines, false));
    EXPECT_EQ(missing.GetLine(7, 1, true), nullptr);

    ASSERT_EQ(sb.Ok({"init"}), "");
    sb.Corrupt("linedb");
    LineManager corrupt(LineManagerBase::LineMngType_CM, sb.Db("linedb"), true);
    EXPECT_FALSE(corrupt.GetLines(7, lines, false));
    EXPECT_EQ(corrupt.GetLine(7, 1, true), nullptr);
}
