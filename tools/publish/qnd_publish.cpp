// Publishes one version of the client (or the updater) as the file-server
// tree the updater downloads from; a test and demo tool.
//
//   qnd_publish --new DIR --version N --out DIR [--old DIR] [--key DER]
//               [--updater] [--section NAME] [--form auto|plain|gz|lzma2]
//               [--no-patches] [--preprocess]
#include "publisher.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: qnd_publish --new DIR --version N --out DIR [--old DIR] [--key DER]\n"
                 "                   [--updater] [--section NAME] [--form auto|plain|gz|lzma2]\n"
                 "                   [--no-patches] [--preprocess]\n");
    return 2;
}

void list(const char* what, const QStringList& names)
{
    for (const QString& n : names)
        std::printf("%-9s %s\n", what, qPrintable(n));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    PublishOptions o;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        bool ok = true;
        if (a == QLatin1String("--new") && hasValue) {
            o.newDir = args[++i];
        } else if (a == QLatin1String("--old") && hasValue) {
            o.oldDir = args[++i];
        } else if (a == QLatin1String("--out") && hasValue) {
            o.outDir = args[++i];
        } else if (a == QLatin1String("--key") && hasValue) {
            o.keyPath = args[++i];
        } else if (a == QLatin1String("--section") && hasValue) {
            o.section = args[++i];
        } else if (a == QLatin1String("--version") && hasValue) {
            o.version = args[++i].toInt(&ok);
        } else if (a == QLatin1String("--form") && hasValue) {
            const QString f = args[++i];
            if (f == QLatin1String("auto"))
                o.form = PublishOptions::Auto;
            else if (f == QLatin1String("plain"))
                o.form = PublishOptions::Plain;
            else if (f == QLatin1String("gz"))
                o.form = PublishOptions::Gzip;
            else if (f == QLatin1String("lzma2"))
                o.form = PublishOptions::Lzma2;
            else
                ok = false;
        } else if (a == QLatin1String("--updater")) {
            o.targetKind = 0;
        } else if (a == QLatin1String("--no-patches")) {
            o.patches = false;
        } else if (a == QLatin1String("--preprocess")) {
            o.lzmaPreprocess = true;
        } else {
            ok = false;
        }
        if (!ok)
            return usage();
    }
    if (o.newDir.isEmpty() || o.outDir.isEmpty() || o.version <= 0)
        return usage();

    PublishReport report;
    QString error;
    if (!publish(o, &report, &error)) {
        std::fprintf(stderr, "qnd_publish: %s\n", qPrintable(error));
        return 1;
    }
    list("plain", report.plain);
    list("gzip", report.gzip);
    list("lzma2", report.lzma2);
    list("patch", report.patched);
    list("unchanged", report.unchanged);
    list("delete", report.deleted);
    for (const QString& n : report.notes)
        std::fprintf(stderr, "qnd_publish: %s\n", qPrintable(n));
    std::printf("ini %s\n", qPrintable(report.iniPath));
    return 0;
}
