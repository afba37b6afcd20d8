#include "failurelog.h"

#include <cstring>

namespace {
const char kFailureCategory[] = "qnd.failure";
}

Q_LOGGING_CATEGORY(lcFailure, kFailureCategory)

bool isFailureCategory(const char* category)
{
    return category && std::strcmp(category, kFailureCategory) == 0;
}

void logUpdateFailed(const QString& cause)
{
    if (cause.isEmpty())
        qCWarning(lcFailure) << "Update failed";
    else
        qCWarning(lcFailure).noquote() << "Update failed:" << cause;
}
