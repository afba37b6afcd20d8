#include "productininames.h"

#include <gtest/gtest.h>

TEST(ProductIniNamesTest, BaseNameIsTheUpdatersOnlyForTargetKindZero)
{
    EXPECT_EQ(iniBaseName(0), "update_linux_amd64");
    EXPECT_EQ(iniBaseName(1), "client_linux_amd64");
    EXPECT_EQ(iniBaseName(-1), "client_linux_amd64");
}

// The updater's own files are reserved by name, its folders and its program
// with all below them; a name that only starts like one is the client's.
TEST(ProductIniNamesTest, ReservesTheUpdatersOwnNamesForAClient)
{
    const struct
    {
        const char* name;
        bool reserved;
    } rows[] = {
        {"update", true},
        {"update/x", true},
        {"update.ini", true},
        {".qnd-lock", true},
        {".qnd-replace", true},
        {".qnd-replace/a/b", true},
        {".qnd-updater", true},
        {".qnd-updater/update", true},
        {"updater", false},
        {"update.ini.bak", false},
        {".qnd-replacement", false},
        {"bin/update", false},
        {"bin/.qnd-lock", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(isReservedClientName(QString::fromLatin1(row.name)), row.reserved) << row.name;
    EXPECT_FALSE(updaterOwnNames(0).contains(updaterProgramName));
    EXPECT_TRUE(updaterOwnNames(1).contains(updaterProgramName));
}
