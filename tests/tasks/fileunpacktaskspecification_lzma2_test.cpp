#include "fileunpacktaskspecification_lzma2.h"
#include "filereplace_testutil.h"
#include "support/tempdirtest.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace replacetest;

namespace {

using Lzma2UnpackTest = ScratchDirTest;

TEST_F(Lzma2UnpackTest, UnpacksPackedFilesIntoTheDestinationWithOneCreateRecord)
{
    for (int size : {1, 4096, 300000}) {
        SCOPED_TRACE(size);
        const QByteArray data = size > 5000 ? textBytes(size, 3) : randomBytes(size, 7);
        ASSERT_TRUE(writePacked(at("x.so._lzma2_"), data, scratch));
        QFile::remove(at("out/x.so"));
        QDir().mkpath(at("out"));
        RollbackDataList list;
        FileUnpackTaskSpecification_lzma2 task(&list, at("x.so._lzma2_"), at("out/x.so"), nullptr, 1.0);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(task.state(), TASK_FINISHED);
        EXPECT_TRUE(messages.isEmpty());
        EXPECT_EQ(readAllOrMissing(at("out/x.so")), data);
        ASSERT_EQ(list.records().size(), 1);
        EXPECT_EQ(list.records()[0].op(), FILE_CREATE);
        EXPECT_EQ(list.records()[0].path(), at("out/x.so"));
        EXPECT_TRUE(partFiles(at("out")).isEmpty());
    }
}

// A broken download must never cost the user the file that was there.
TEST_F(Lzma2UnpackTest, FailedUnpackLeavesTheDestinationAsItWas)
{
    const QByteArray data = textBytes(20000, 5);
    ASSERT_TRUE(writePacked(at("good._lzma2_"), data, scratch));
    const QByteArray packed = readAllOrMissing(at("good._lzma2_"));
    struct Row
    {
        const char* name;
        std::function<QByteArray()> source; // null: no source file at all
        quint64 limit = FileUnpackFunc_lzma2::kNoUnpackLimit;
    };
    const Row rows[] = {
        {"missing", nullptr},
        {"empty", [] { return QByteArray(); }},
        {"truncated", [&] { return packed.left(packed.size() / 2); }},
        {"bad magic",
         [&] {
             QByteArray b = packed;
             b[0] = char(b[0] ^ 0x55);
             return b;
         }},
        {"flipped body byte",
         [&] {
             QByteArray b = packed;
             b[b.size() - 3] = char(b[b.size() - 3] ^ 0x01);
             return b;
         }},
        {"gzip instead", [] { return QByteArray("\x1f\x8b\x08\x00junk", 8); }},
        // Sound, but larger than the product ini says the file is.
        {"larger than declared", [&] { return packed; }, quint64(data.size() - 1)},
    };
    for (const Row& row : rows) {
        for (bool existed : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (existed ? " over an existing file" : ""));
            QFile::remove(at("src._lzma2_"));
            if (row.source) {
                ASSERT_TRUE(writeAllMakingDirs(at("src._lzma2_"), row.source()));
            }
            ASSERT_TRUE(placeDestination(at("dst"), existed));
            RollbackDataList list;
            FileUnpackTaskSpecification_lzma2 task(&list, at("src._lzma2_"), at("dst"), nullptr, 1.0);
            task.setOutputLimit(row.limit);
            const QString error = QString("Could not unpack '%1' to '%2'").arg(at("src._lzma2_"), at("dst"));
            ASSERT_NO_FATAL_FAILURE(expectFailureLeavesDestination(task, list, error, at("dst"), existed, tmp.path()));
        }
    }
}

TEST_F(Lzma2UnpackTest, ReplacedDestinationKeepsItsModeAndWithoutListNoRecord)
{
    const QByteArray data = randomBytes(999, 1);
    ASSERT_TRUE(writePacked(at("p._lzma2_"), data, scratch));
    ASSERT_TRUE(writeAllMakingDirs(at("dst"), "old"));
    ASSERT_TRUE(QFile::setPermissions(at("dst"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    FileUnpackTaskSpecification_lzma2 task(nullptr, at("p._lzma2_"), at("dst"), nullptr, 1.0);
    task.setOutputLimit(quint64(data.size())); // exactly its size is enough
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(readAllOrMissing(at("dst")), data);
    EXPECT_EQ(int(QFile::permissions(at("dst")) & 0x0FFF), 0x0700);
}

TEST(OsStringTest, PathsBecomeUtf8Bytes)
{
    EXPECT_EQ(toOsString(QString::fromUtf8("/tmp/ä ö/x")), std::string("/tmp/\xc3\xa4 \xc3\xb6/x"));
    EXPECT_EQ(toOsString(QString()), std::string());
}

} // namespace
