#include "fileunpacktaskspecification_zip.h"
#include "support/tasktest.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <zlib.h>

#include <functional>

namespace {

QByteArray gzipped(const QByteArray& data)
{
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    QByteArray out(int(deflateBound(&s, uLong(data.size()))), '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    s.avail_in = uInt(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(int(s.total_out));
    deflateEnd(&s);
    return out;
}

class ZipUnpackTest : public TempDirTest
{
protected:
    void run(TaskSpecification& task) { runRecordingEvents(task, &events); }

    QStringList events;
};

TEST_F(ZipUnpackTest, UnpacksWholeStreamsOfEverySize)
{
    // Around the 16384-byte read size, several reads, and an empty stream.
    for (int size : {0, 1, 16383, 16384, 16385, 40000, 1 << 20}) {
        SCOPED_TRACE(size);
        const QByteArray data = randomBytes(size, size);
        ASSERT_TRUE(writeAll(at("src.gz"), gzipped(data)));
        QFile::remove(at("out"));

        EXPECT_TRUE(FileUnpackFunc_Zip::unpackFile(at("src.gz"), at("out")));
        EXPECT_EQ(readAllOrMissing(at("out")), data);
        EXPECT_TRUE(partFiles(tmp.path()).isEmpty());
    }
}

TEST_F(ZipUnpackTest, DataThatIsNotGzipIsCopiedThrough)
{
    const QByteArray plain("plain text, not compressed\n");
    ASSERT_TRUE(writeAll(at("src"), plain));
    EXPECT_TRUE(FileUnpackFunc_Zip::unpackFile(at("src"), at("out")));
    EXPECT_EQ(readAllOrMissing(at("out")), plain);
}

// A bad source never costs the destination: a missing one stays missing and an
// installed one keeps its bytes. A stream cut short counts as bad, not as a
// shorter file.
TEST_F(ZipUnpackTest, BadSourceLeavesDestinationAsItWas)
{
    const QByteArray data = randomBytes(50000, 7);
    const QByteArray good = gzipped(data);
    QByteArray badCrc = good;
    badCrc[badCrc.size() - 6] = char(badCrc[badCrc.size() - 6] ^ 0x55);
    QByteArray badDeflate = good;
    for (int i = 20; i < 60; ++i)
        badDeflate[i] = char(0xff);

    struct Row
    {
        const char* name;
        std::function<bool(const QString&)> makeSource;
    };
    const Row rows[] = {
        {"missing source", [](const QString&) { return true; }},
        {"truncated stream", [&](const QString& p) { return writeAll(p, good.left(good.size() / 2)); }},
        {"truncated trailer", [&](const QString& p) { return writeAll(p, good.left(good.size() - 4)); }},
        {"wrong checksum", [&](const QString& p) { return writeAll(p, badCrc); }},
        {"corrupt deflate data", [&](const QString& p) { return writeAll(p, badDeflate); }},
        {"source is a directory", [](const QString& p) { return QDir().mkdir(p); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString src = dir.filePath("src.gz");
        ASSERT_TRUE(row.makeSource(src));

        EXPECT_FALSE(FileUnpackFunc_Zip::unpackFile(src, dir.filePath("fresh")));
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("fresh")));

        ASSERT_TRUE(writeAll(dir.filePath("installed"), "installed bytes"));
        EXPECT_FALSE(FileUnpackFunc_Zip::unpackFile(src, dir.filePath("installed")));
        EXPECT_EQ(readAllOrMissing(dir.filePath("installed")), "installed bytes");

        EXPECT_TRUE(partFiles(dir.path()).isEmpty());
    }
}

TEST_F(ZipUnpackTest, ReplacesInstalledFileKeepingItsPermissions)
{
    ASSERT_TRUE(writeAll(at("installed"), "old version"));
    const QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    ASSERT_TRUE(QFile::setPermissions(at("installed"), perms));
    ASSERT_TRUE(writeAll(at("src.gz"), gzipped("new version")));

    EXPECT_TRUE(FileUnpackFunc_Zip::unpackFile(at("src.gz"), at("installed")));
    EXPECT_EQ(readAllOrMissing(at("installed")), "new version");
    EXPECT_EQ(QFile::permissions(at("installed")), perms);
}

TEST_F(ZipUnpackTest, LinkAtDestinationIsReplacedNotWrittenThrough)
{
    QTemporaryDir outside;
    ASSERT_TRUE(writeAll(outside.filePath("target"), "outside data"));
    ASSERT_TRUE(QFile::link(outside.filePath("target"), at("link")));
    ASSERT_TRUE(writeAll(at("src.gz"), gzipped("unpacked")));

    EXPECT_TRUE(FileUnpackFunc_Zip::unpackFile(at("src.gz"), at("link")));
    EXPECT_FALSE(QFileInfo(at("link")).isSymLink());
    EXPECT_EQ(readAllOrMissing(at("link")), "unpacked");
    EXPECT_EQ(readAllOrMissing(outside.filePath("target")), "outside data");
}

TEST_F(ZipUnpackTest, DestinationThatCannotBeWrittenFails)
{
    ASSERT_TRUE(writeAll(at("src.gz"), gzipped("x")));
    ASSERT_TRUE(QDir().mkdir(at("adir")));
    EXPECT_FALSE(FileUnpackFunc_Zip::unpackFile(at("src.gz"), at("missing_dir/out")));
    EXPECT_FALSE(FileUnpackFunc_Zip::unpackFile(at("src.gz"), at("adir")));
    EXPECT_TRUE(QFileInfo(at("adir")).isDir());
    EXPECT_TRUE(partFiles(tmp.path()).isEmpty());
}

TEST_F(ZipUnpackTest, TaskRecordsOutputOnSuccessAndReportsFailure)
{
    ASSERT_TRUE(writeAll(at("good.gz"), gzipped("content")));
    ASSERT_TRUE(writeAll(at("bad.gz"), gzipped("content").left(12)));

    RollbackDataList list;
    FileUnpackTaskSpecification_zip ok(&list, at("good.gz"), at("out"), nullptr, 1.0);
    run(ok);
    EXPECT_EQ(ok.state(), TASK_FINISHED);
    EXPECT_EQ(events, QStringList{"finished"});
    ASSERT_EQ(list.records().size(), 1);
    EXPECT_EQ(list.records()[0].op(), FILE_CREATE);
    EXPECT_EQ(list.records()[0].path(), at("out"));

    events.clear();
    FileUnpackTaskSpecification_zip noList(nullptr, at("good.gz"), at("out2"), nullptr, 1.0);
    run(noList);
    EXPECT_EQ(noList.state(), TASK_FINISHED);
    EXPECT_EQ(list.records().size(), 1);

    events.clear();
    FileUnpackTaskSpecification_zip bad(&list, at("bad.gz"), at("out3"), nullptr, 1.0);
    run(bad);
    EXPECT_EQ(bad.state(), TASK_FAILED);
    EXPECT_EQ(
        events,
        (QStringList{"message: " + QString("Could not unzip '%1' to '%2'").arg(at("bad.gz"), at("out3")), "canceled"}));
    EXPECT_EQ(list.records().size(), 1);
    EXPECT_FALSE(QFileInfo::exists(at("out3")));
}

} // namespace
