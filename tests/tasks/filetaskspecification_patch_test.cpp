#include "filetaskspecification_patch.h"
#include "filereplace_testutil.h"
#include "support/tempdirtest.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace replacetest;

namespace {

class PatchTaskTest : public ScratchDirTest
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ScratchDirTest::SetUp());
        oldData = textBytes(50000, 11);
        newData = oldData;
        newData.replace(1000, 50, QByteArray(50, 'N'));
        newData.append("a tail the old file never had\n");
        ASSERT_TRUE(writePatch(at("a.so_patch_"), oldData, newData, scratch));
        patch = readAllOrMissing(at("a.so_patch_"));
        ASSERT_TRUE(writeAllMakingDirs(at("a.so_old"), oldData));
    }
    QByteArray oldData, newData, patch;
};

TEST_F(PatchTaskTest, AppliesARealPatchAndRecordsTheNewFile)
{
    RollbackDataList list;
    FileTaskSpecification_patch task(&list, at("a.so_old"), at("a.so_patch_"), at("a.so"), nullptr, 1.0);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(readAllOrMissing(at("a.so")), newData);
    EXPECT_EQ(readAllOrMissing(at("a.so_old")), oldData);
    ASSERT_EQ(list.records().size(), 1);
    EXPECT_EQ(list.records()[0].op(), FILE_CREATE);
    EXPECT_EQ(list.records()[0].path(), at("a.so"));
}

// Whatever goes wrong, the error names the old and new file, nothing is
// recorded, and the destination holds what it held before.
TEST_F(PatchTaskTest, FailedPatchReportsAndLeavesTheDestinationAsItWas)
{
    struct Row
    {
        const char* name;
        std::function<void()> arrange;
    };
    const Row rows[] = {
        {"old file missing", [&] { QFile::remove(at("a.so_old")); }},
        {"old file of another version", [&] { writeAllMakingDirs(at("a.so_old"), oldData + "x"); }},
        {"patch missing", [&] { QFile::remove(at("a.so_patch_")); }},
        {"not a patch", [&] { writeAllMakingDirs(at("a.so_patch_"), "plain text, no magic"); }},
        {"wrong version",
         [&] {
             QByteArray b = patch;
             b[4] = char(b[4] ^ 0x01);
             writeAllMakingDirs(at("a.so_patch_"), b);
         }},
        {"truncated patch", [&] { writeAllMakingDirs(at("a.so_patch_"), patch.left(patch.size() - 7)); }},
        {"corrupt body",
         [&] {
             QByteArray b = patch;
             b[b.size() / 2] = char(b[b.size() / 2] ^ 0x40);
             writeAllMakingDirs(at("a.so_patch_"), b);
         }},
    };
    for (const Row& row : rows) {
        for (bool existed : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (existed ? " over an existing file" : ""));
            ASSERT_TRUE(writeAllMakingDirs(at("a.so_old"), oldData));
            ASSERT_TRUE(writeAllMakingDirs(at("a.so_patch_"), patch));
            ASSERT_TRUE(placeDestination(at("a.so"), existed));
            row.arrange();
            RollbackDataList list;
            FileTaskSpecification_patch task(&list, at("a.so_old"), at("a.so_patch_"), at("a.so"), nullptr, 1.0);
            const QString error = QString("Could not patch '%1' to '%2'").arg(at("a.so_old"), at("a.so"));
            ASSERT_NO_FATAL_FAILURE(expectFailureLeavesDestination(task, list, error, at("a.so"), existed, tmp.path()));
        }
    }
}

TEST_F(PatchTaskTest, WrapperIsTrueOnlyForASuccessfulPatch)
{
    const std::string o = at("a.so_old").toStdString();
    EXPECT_TRUE(ApplyEnsemblePatch(o.c_str(), at("a.so_patch_").toUtf8().constData(), at("n1").toUtf8().constData()));
    EXPECT_EQ(readAllOrMissing(at("n1")), newData);
    EXPECT_FALSE(ApplyEnsemblePatch(at("a.so_patch_").toUtf8().constData(), at("a.so_patch_").toUtf8().constData(),
                                    at("n2").toUtf8().constData()));
    EXPECT_FALSE(QFileInfo::exists(at("n2")));
}

} // namespace
