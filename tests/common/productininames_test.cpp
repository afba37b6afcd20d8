#include "productininames.h"

#include <gtest/gtest.h>

TEST(ProductIniNamesTest, BaseNameIsTheUpdatersOnlyForTargetKindZero)
{
    EXPECT_EQ(iniBaseName(0), "update_linux_amd64");
    EXPECT_EQ(iniBaseName(1), "client_linux_amd64");
    EXPECT_EQ(iniBaseName(-1), "client_linux_amd64");
}
