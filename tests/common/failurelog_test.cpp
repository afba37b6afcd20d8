#include "failurelog.h"

#include "support/qtmessages.h"

#include <QLoggingCategory>

#include <gtest/gtest.h>

namespace {

// Only the failure category's lines go to standard error as well; any other
// category (and a message without one) stays in the log alone.
TEST(FailureLogTest, OnlyTheFailureCategoryReachesStandardError)
{
    EXPECT_TRUE(isFailureCategory(lcFailure().categoryName()));
    EXPECT_FALSE(isFailureCategory(nullptr));
    EXPECT_FALSE(isFailureCategory("default"));
    EXPECT_FALSE(isFailureCategory("qnd.failures"));
    EXPECT_FALSE(isFailureCategory("qnd"));
}

// The last line of a failed run is one warning of the failure category,
// with the cause as the user was shown it.
TEST(FailureLogTest, UpdateFailedIsOneWarningWithItsCause)
{
    const struct
    {
        QString cause;
        const char* line;
    } rows[] = {
        {QStringLiteral("Could not verify the product ini file. Aborting"),
         "warning: Update failed: Could not verify the product ini file. Aborting"},
        {QString(), "warning: Update failed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        QtMessageCapture messages;
        logUpdateFailed(row.cause);
        EXPECT_EQ(QtMessageCapture::lines(), QStringList{QString::fromUtf8(row.line)});
    }
}

} // namespace
