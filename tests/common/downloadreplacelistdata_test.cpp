#include "downloadreplacelistdata.h"

#include <gtest/gtest.h>

namespace {

struct TargetRow
{
    const char* name;
    const char* target;
    const char* prefix;
    const char* expectedPath;
};

// The installed relative name: target wins over name, and the prefix goes in
// front of the file-name part only.
const TargetRow targetRows[] = {
    {"a.gz", "bin/a", "", "bin/a"}, {"lib/a.so", "", "", "lib/a.so"},           {"lib/a.so", "", "x_", "lib/x_a.so"},
    {"a.so", "", "x_", "x_a.so"},   {"a.gz", "deep/er/b", "x_", "deep/er/x_b"}, {"ignored", "c", "p", "pc"},
};

} // namespace

TEST(ReplaceFileDataTest, TargetPathPutsPrefixBeforeFileNameOfTheInstalledName)
{
    for (const TargetRow& row : targetRows) {
        SCOPED_TRACE(row.expectedPath);
        ReplaceFileData entry;
        entry.name = QString::fromUtf8(row.name);
        entry.target = QString::fromUtf8(row.target);
        EXPECT_EQ(entry.hasTargetName(), !entry.target.isEmpty());
        EXPECT_EQ(entry.targetName(), entry.target.isEmpty() ? entry.name : entry.target);
        EXPECT_EQ(entry.targetPath(QString::fromUtf8(row.prefix)), QString::fromUtf8(row.expectedPath));
    }
}

TEST(ReplaceFileDataTest, DefaultEntryIsAWholeFileCopyWithoutPatch)
{
    ReplaceFileData entry;
    entry.name = QStringLiteral("x");
    EXPECT_FALSE(entry.hasTargetName());
    EXPECT_FALSE(entry.hasPatch());
    EXPECT_EQ(entry.installedSize, 0u);
    entry.patchFile = QStringLiteral("x_patch_");
    EXPECT_TRUE(entry.hasPatch());
}

TEST(DownloadReplaceListDataTest, CopyAssignmentReplacesAllFiveLists)
{
    DownloadReplaceListData a;
    a.downloads.append({QStringLiteral("s"), QStringLiteral("n"), QStringLiteral("h"), 5});
    a.replacements.append(ReplaceFileData());
    a.deletions.append({QStringLiteral("d"), true});
    a.preInstall.append(PrePostInstallData());
    a.postInstall.append(PrePostInstallData());
    a.postInstall.append(PrePostInstallData());

    DownloadReplaceListData b;
    b.downloads.append({QStringLiteral("old"), QStringLiteral("old"), QString(), 1});
    b.downloads.append({QStringLiteral("old2"), QStringLiteral("old2"), QString(), 1});
    b = a;
    ASSERT_EQ(b.downloads.size(), 1);
    EXPECT_EQ(b.downloads.at(0).name, QStringLiteral("n"));
    EXPECT_EQ(b.downloads.at(0).size, 5u);
    EXPECT_EQ(b.replacements.size(), 1);
    ASSERT_EQ(b.deletions.size(), 1);
    EXPECT_TRUE(b.deletions.at(0).recursive);
    EXPECT_EQ(b.preInstall.size(), 1);
    EXPECT_EQ(b.postInstall.size(), 2);

    b = DownloadReplaceListData();
    EXPECT_TRUE(b.downloads.isEmpty() && b.replacements.isEmpty() && b.deletions.isEmpty() && b.preInstall.isEmpty()
                && b.postInstall.isEmpty());
}
