#ifndef QND_TESTS_DEMOCLIENT_H
#define QND_TESTS_DEMOCLIENT_H

#include "support/childprocess.h"

#include <QString>
#include <QStringList>

// Writes version `version` of the small demo client (a run script, a program
// and data files) into dir, with the script the demo uses.
inline bool makeDemoClient(const QString& dir, int version)
{
    return runToSuccess(QStringLiteral("bash"), {QStringLiteral(QND_SOURCE_DIR "/tests/tools/make_demo_client.sh"), dir,
                                                 QString::number(version)});
}

#endif  // QND_TESTS_DEMOCLIENT_H
