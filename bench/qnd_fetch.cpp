// Whole-process driver of the download list for scripted measurements
// (bench/download.sh): fetches every file of a manifest from a file server,
// "streams" at once, and checks each against its SHA-512 digest, as an update
// session does.
//
//   qnd_fetch BASE_URL VERSION STREAMS MANIFEST TEMP_DIR
//   qnd_fetch --verify MANIFEST DIR    only the digest checks, one by one
//
// BASE_URL ends in "/"; each manifest line is "<sha512 hex> <size> <name>",
// fetched from BASE_URL VERSION "/files/" name. Exits 0 when every file
// arrived and matched its digest, 1 otherwise.
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "globals.h"
#include "taskspecification.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The checks' debug lines would be timed too.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList args = app.arguments();
    const bool verify = args.size() == 4 && args[1] == QLatin1String("--verify");
    if (args.size() != 6 && !verify) {
        std::fprintf(stderr,
                     "usage: qnd_fetch BASE_URL VERSION STREAMS MANIFEST TEMP_DIR\n"
                     "       qnd_fetch --verify MANIFEST DIR\n");
        return 2;
    }
    QFile manifest(args[verify ? 2 : 4]);
    if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text))
        return 2;
    QList<DownloadFileData> list;
    while (!manifest.atEnd()) {
        const QStringList fields = QString::fromUtf8(manifest.readLine()).trimmed().split(' ');
        if (fields.size() == 3)
            list.append({QStringLiteral("files"), fields[2], fields[0], fields[1].toULongLong()});
    }
    if (verify) {
        for (const DownloadFileData& file : qAsConst(list)) {
            CheckSigFunc check(args[3] + QLatin1Char('/') + file.name, file.hash);
            if (!check.run())
                return 1;
        }
        return 0;
    }

    updateBaseUrl = args[1];
    Configuration config;
    config.m_Version = args[2].toInt();
    config.m_Streams = args[3].toInt();
    config.m_TempDir = args[5];
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    DownloadFileListTaskSpecification task(&list, &manager, &config, nullptr, 1.0);

    // A failed digest check only reports: count the reports.
    int mismatches = 0;
    QObject::connect(&task, &TaskSpecification::message, [&mismatches](const QString& text) {
        if (text.startsWith(QStringLiteral("Signature check failed")))
            ++mismatches;
    });
    QObject::connect(&task, &TaskSpecification::finished, &app, [&] { app.exit(0); });
    QObject::connect(&task, &TaskSpecification::canceled, &app, [&] { app.exit(1); });
    QTimer::singleShot(0, &task, [&task] { task.execute(); });
    const int code = app.exec();
    if (code != 0 || task.state() != TASK_FINISHED || mismatches != 0) {
        std::fprintf(stderr, "qnd_fetch: state %d, %d digest mismatches\n", int(task.state()), mismatches);
        return 1;
    }
    return 0;
}
