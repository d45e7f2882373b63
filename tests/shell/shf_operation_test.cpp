#include "shell/ShfOperation.h"

#include <gtest/gtest.h>

namespace {

using zumo::TShfOperation;

TEST(ShfOperation, ConstructionAndListSettersThatCopy)
{
    TShfOperation op;
    EXPECT_EQ(op.OperationF, zumo::TwFunc::foMOVE);
    EXPECT_TRUE(op.FromFFList().empty());
    EXPECT_TRUE(op.ToFiles().empty());
    EXPECT_TRUE(op.ToFolder.empty());
    EXPECT_TRUE(op.ProgressTitle.empty());
    EXPECT_FALSE(op.fAbort());

    std::vector<std::string> files = {"a", "b"};
    op.SetFromFFList(files);
    op.SetToFiles(files);
    files.push_back("c");
    EXPECT_EQ(op.FromFFList(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(op.ToFiles(), (std::vector<std::string>{"a", "b"}));
}

TEST(ShfOperation, SilentIsStoredOnlyWhenSet)
{
    TShfOperation op;
    const auto names = [](const zumo::TfFlags& flags) {
        std::vector<std::string> out;
        for (const auto& [name, value] : flags.StoredFlags())
            out.push_back(name);
        return out;
    };
    EXPECT_EQ(names(op.Options()), (std::vector<std::string>{
                                       "ALLOWUNDO", "FILESONLY", "MUILIDESTFILES", "NOCONFIRMATION",
                                       "NOCONFIRMMKDIR", "RENAMEONCOLLISION", "SIMPLEPROGRESS"}));
    for (const auto& [name, value] : op.Options().StoredFlags())
        EXPECT_FALSE(value) << name;

    op.Options().SILENT = true;
    op.Options().NOCONFIRMATION = true;
    const auto stored = op.Options().StoredFlags();
    ASSERT_EQ(stored.size(), 8u);
    EXPECT_EQ(stored[6], (std::pair<std::string, bool>{"SILENT", true}));
    EXPECT_EQ(stored[3], (std::pair<std::string, bool>{"NOCONFIRMATION", true}));
}

} // namespace
