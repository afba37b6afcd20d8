// Session records ("update.ini" beside the program) as a crash, another
// program or a broken disk may leave them. A record is taken only when its
// directory is one of this user's session directories, and then it can be
// copied beside a new updater; a refused one changes none of the outputs.
// Removing the record always leaves none behind. In the input, "@TMP@"
// stands for the system temp path, where a session directory exists.
#include <cstdint>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include "configuration.h"
#include "productininames.h"
#include "sessiontempdir.h"
#include "updateinidata.h"

namespace {

constexpr size_t kMaxRecord = 64 << 10;

QString TargetDir()
{
    return QDir::tempPath() + QStringLiteral("/target");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Every refused record is logged; the fuzzer needs none of it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static QTemporaryDir temp;
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    QDir().mkpath(temp.path() + QStringLiteral("/quendrail_temp_3"));
    QDir().mkpath(TargetDir());
    // The record lives beside the program, which only an application knows.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxRecord)
        return 0;
    QByteArray text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    text.replace("@TMP@", QFile::encodeName(QDir::tempPath()));
    {
        QFile f(UpdateIniData::iniPath());
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
            __builtin_trap();
    }

    int version = -1;
    QString type = QStringLiteral("t"), dir = QStringLiteral("d"), qnddir = QStringLiteral("q");
    if (UpdateIniData::get(&version, &type, &dir, &qnddir)) {
        if (!SessionTempDir::isSessionTempDir(dir) || type.isEmpty()
            || (!qnddir.isEmpty() && QFileInfo(qnddir).isRelative()))
            __builtin_trap();
        if (UpdateIniData::modifyTempIni(TargetDir())) {
            QSettings copy(TargetDir() + QStringLiteral("/update.ini"), QSettings::IniFormat);
            if (copy.value(QStringLiteral("current/type")).toString() != iniBaseName(1))
                __builtin_trap();
        }
    } else if (version != -1 || type != QStringLiteral("t") || dir != QStringLiteral("d")
               || qnddir != QStringLiteral("q")) {
        __builtin_trap();
    }
    UpdateIniData::removeRecord();
    if (UpdateIniData::get(nullptr, nullptr, nullptr, nullptr))
        __builtin_trap();
    return 0;
}
