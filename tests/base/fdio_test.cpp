#include "fdio.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

// A file of the given bytes in a fresh folder, open for reading and writing.
struct ScratchFile
{
    QTemporaryDir dir;
    UniqueFd fd;

    explicit ScratchFile(const QByteArray& bytes)
    {
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("f")));
        fd.reset(openRetrying(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        writeFully(fd.get(), bytes.constData(), bytes.size());
    }
};

} // namespace

TEST(UniqueFdTest, ClosesWhatItOwnsExactlyOnce)
{
    int raw = ::dup(STDIN_FILENO);
    {
        UniqueFd a(raw);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.isValid());
        EXPECT_EQ(b.get(), raw);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));

    raw = ::dup(STDIN_FILENO);
    UniqueFd kept(raw);
    EXPECT_EQ(kept.release(), raw);
    kept.reset();
    EXPECT_TRUE(isOpen(raw));

    UniqueFd replaced(raw);
    replaced.reset(::dup(STDIN_FILENO));
    EXPECT_FALSE(isOpen(raw));
    const int other = replaced.get();
    replaced = UniqueFd();
    EXPECT_FALSE(isOpen(other));
}

TEST(FdIoTest, RetriesInterruptedCallsAndKeepsOtherFailures)
{
    int calls = 0;
    EXPECT_EQ(retryOnEintr([&] {
                  errno = EINTR;
                  return ++calls < 3 ? -1 : 7;
              }),
              7);
    EXPECT_EQ(calls, 3);

    calls = 0;
    EXPECT_EQ(retryOnEintr([&] {
                  ++calls;
                  errno = EIO;
                  return -1;
              }),
              -1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(errnoText(ENOENT), QString::fromLocal8Bit(std::strerror(ENOENT)));
}

// Reads stop at the end of the file and never read before the offset or
// past the size asked for; the limit of readAllAt is the file's, not the
// buffer's.
TEST(FdIoTest, ReadsWithinTheirBoundsAndWritesAtTheirOffset)
{
    ScratchFile file("0123456789");
    char buffer[16] = {};
    EXPECT_EQ(readFullyAt(file.fd.get(), buffer, 4, 3), 4);
    EXPECT_EQ(QByteArray(buffer, 4), QByteArray("3456"));
    EXPECT_EQ(readFullyAt(file.fd.get(), buffer, 16, 8), 2);
    EXPECT_EQ(QByteArray(buffer, 2), QByteArray("89"));
    EXPECT_EQ(readFullyAt(file.fd.get(), buffer, 16, -1), -1);
    ASSERT_EQ(::lseek(file.fd.get(), 6, SEEK_SET), 6);
    EXPECT_EQ(readFully(file.fd.get(), buffer, 16), 4);
    EXPECT_EQ(QByteArray(buffer, 4), QByteArray("6789"));

    const struct
    {
        qint64 limit;
        qint64 offset;
        bool ok;
        const char* bytes;
    } rows[] = {{10, 0, true, "0123456789"}, {100, 7, true, "789"}, {9, 0, false, ""}, {2, 7, false, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.limit);
        QByteArray all;
        errno = 0;
        EXPECT_EQ(readAllAt(file.fd.get(), row.limit, &all, row.offset), row.ok);
        EXPECT_EQ(all, QByteArray(row.bytes));
        EXPECT_EQ(errno, row.ok ? 0 : EFBIG);
    }

    EXPECT_TRUE(writeFullyAt(file.fd.get(), "ab", 2, 12));
    QByteArray all;
    ASSERT_TRUE(readAllAt(file.fd.get(), 100, &all));
    EXPECT_EQ(all, QByteArray("0123456789\0\0ab", 14));
    struct stat st;
    ASSERT_TRUE(setOpenFileMode(file.fd.get(), 0640));
    ASSERT_EQ(::fstat(file.fd.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode_t(0640));
    EXPECT_FALSE(writeFully(-1, "x", 1));
    EXPECT_EQ(errno, EBADF);
}
