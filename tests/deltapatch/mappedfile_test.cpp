#include "mappedfile.h"
#include "support/enginetempdir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using deltapatch::MappedFile;
using deltapatch::WriteBufferToFile;

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t openDescriptorCount()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

size_t mappingsOf(const std::string& path)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    size_t count = 0;
    while (std::getline(maps, line))
        count += line.find(path) != std::string::npos;
    return count;
}

TEST(MappedFileTest, MapsWholeFileContents)
{
    TempDir dir;
    std::string content(10000, 'q');
    content[9999] = 'z';
    writeFile(dir.Path("a"), content);
    MappedFile file(dir.Path("a").c_str());
    ASSERT_TRUE(file.IsMapped());
    EXPECT_EQ(file.FileSize(), 10000u);
    EXPECT_EQ(file.ViewLength(), 10000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.Data()), 10000), content);
    uint8_t byte = 0;
    ASSERT_TRUE(file.At(9999, &byte));
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(file[0], 'q');
    EXPECT_FALSE(file.At(10000, &byte));
    EXPECT_EQ(byte, 'z');
    EXPECT_GE(MappedFile::PageSize(), 4096u);
}

TEST(MappedFileTest, FilesThatCannotBeMappedLeaveNoDescriptorBehind)
{
    TempDir dir;
    writeFile(dir.Path("empty"), "");
    size_t before = openDescriptorCount();
    {
        MappedFile missing(dir.Path("missing").c_str());
        EXPECT_FALSE(missing.IsMapped());
        EXPECT_EQ(missing.Descriptor(), -1);
        uint8_t byte = 0;
        EXPECT_FALSE(missing.At(0, &byte));
        EXPECT_FALSE(missing.Map(0, 0));

        // An empty file opens but a zero-length mapping is refused.
        MappedFile empty(dir.Path("empty").c_str());
        EXPECT_FALSE(empty.IsMapped());
        EXPECT_EQ(empty.Data(), nullptr);
        // Reopening it must not leak the first descriptor.
        EXPECT_FALSE(empty.Open(dir.Path("empty").c_str()));
        EXPECT_FALSE(empty.Open(dir.Path("missing").c_str()));
        EXPECT_EQ(empty.Descriptor(), -1);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(MappedFileTest, OpenWhileMappedKeepsTheFirstView)
{
    TempDir dir;
    writeFile(dir.Path("a"), "first");
    writeFile(dir.Path("b"), "second!");
    MappedFile file;
    ASSERT_TRUE(file.Open(dir.Path("a").c_str()));
    EXPECT_FALSE(file.Open(dir.Path("b").c_str()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.Data()), file.ViewLength()), "first");
}

TEST(MappedFileTest, MapViewsAreCutToTheFileEnd)
{
    TempDir dir;
    std::string content(3 * 4096, 'a');
    content[4096] = 'b';
    writeFile(dir.Path("a"), content);
    MappedFile file(dir.Path("a").c_str(), 100);
    ASSERT_TRUE(file.IsMapped());
    EXPECT_EQ(file.ViewLength(), 100u);
    // The view ends before the file does; checked access stays inside it.
    uint8_t byte = 0;
    EXPECT_FALSE(file.At(100, &byte));
    ASSERT_TRUE(file.At(99, &byte));
    EXPECT_EQ(byte, 'a');

    ASSERT_TRUE(file.Map(4096, 1u << 30));
    EXPECT_EQ(file.ViewLength(), 2u * 4096);
    EXPECT_EQ(file.Data()[0], 'b');
    EXPECT_FALSE(file.Map(content.size() + 4096, 1));
    EXPECT_FALSE(file.IsMapped());
    EXPECT_FALSE(file.Map(content.size(), 0));
}

TEST(MappedFileTest, RepeatedOpenAndCloseReleasesEveryMapping)
{
    TempDir dir;
    writeFile(dir.Path("a"), std::string(5000, 'x'));
    MappedFile file;
    size_t descriptors = openDescriptorCount();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(file.Open(dir.Path("a").c_str()));
        EXPECT_EQ(mappingsOf(dir.Path("a")), 1u);
        file.Close();
        EXPECT_FALSE(file.IsMapped());
        EXPECT_EQ(file.FileSize(), 0u);
    }
    EXPECT_EQ(mappingsOf(dir.Path("a")), 0u);
    EXPECT_EQ(openDescriptorCount(), descriptors);
}

TEST(WriteBufferToFileTest, ReturnsBytesWrittenOrZeroOnFailure)
{
    TempDir dir;
    const uint8_t bytes[] = {1, 2, 3, 0, 5};
    struct Row
    {
        std::string path;
        uint64_t length;
        uint64_t expected;
        bool created;
    } rows[] = {
        {dir.Path("out"), 5, 5, true},
        {dir.Path("empty"), 0, 0, true},
        {dir.Path("missing/dir/out"), 5, 0, false},
        // A full disk: the bytes sit in the stdio buffer until the flush fails.
        {"/dev/full", 5, 0, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WriteBufferToFile(row.path.c_str(), bytes, row.length), row.expected) << row.path;
        if (row.created) {
            EXPECT_EQ(readFile(row.path), std::string(reinterpret_cast<const char*>(bytes), row.length));
        }
    }
}

TEST(WriteBufferToFileTest, TruncatesAnExistingFile)
{
    TempDir dir;
    writeFile(dir.Path("out"), "a much longer old content");
    const uint8_t bytes[] = {'n', 'e', 'w'};
    EXPECT_EQ(WriteBufferToFile(dir.Path("out").c_str(), bytes, 3), 3u);
    EXPECT_EQ(readFile(dir.Path("out")), "new");
}

} // namespace
