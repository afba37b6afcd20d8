#ifndef FAILURELOG_H
#define FAILURELOG_H

#include <QLoggingCategory>
#include <QString>

// Lines that say why an update or a version query failed. They keep their
// level in the log (warnings, mostly) and also reach standard error, where a
// user who started the updater from a terminal looks first.
Q_DECLARE_LOGGING_CATEGORY(lcFailure)

// Whether a message of this category belongs on standard error as well.
bool isFailureCategory(const char* category);

// The last line of a run whose update failed (a session, its start, the
// version query): "Update failed: " and why, in the words the user was shown.
void logUpdateFailed(const QString& cause);

#endif // FAILURELOG_H
