#include "relativepath.h"

#include <gtest/gtest.h>

// A plain path (a group of the product ini, a directory on the file server)
// also refuses the empty and "." components that a contained one tolerates.
TEST(ContainedRelativePathTest, RefusesEveryNameThatLeavesItsDirectory)
{
    const struct
    {
        QString path;
        bool contained;
        bool plain;
    } rows[] = {
        {QStringLiteral("a"), true, true},
        {QStringLiteral("lib/a.so"), true, true},
        {QStringLiteral("a/./b"), true, false},
        {QStringLiteral("a//b"), true, false},
        {QStringLiteral("a/"), true, false},
        {QStringLiteral("..a/b.."), true, true},
        {QStringLiteral("..."), true, true},
        {QStringLiteral(""), false, false},
        {QStringLiteral("."), false, false},
        {QStringLiteral("./"), false, false},
        {QStringLiteral("/"), false, false},
        {QStringLiteral("/etc/passwd"), false, false},
        {QStringLiteral(".."), false, false},
        {QStringLiteral("../x"), false, false},
        {QStringLiteral("a/../b"), false, false},
        {QStringLiteral("a/.."), false, false},
        {QStringLiteral("a/b/../../../c"), false, false},
        {QString::fromUtf8("a\0b", 3), false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        EXPECT_EQ(isContainedRelativePath(row.path), row.contained);
        EXPECT_EQ(isPlainRelativePath(row.path), row.plain);
    }
}
