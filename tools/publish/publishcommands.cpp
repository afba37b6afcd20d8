#include "publishcommands.h"

#include "productininames.h"

namespace {

const QLatin1String kCommandGroups[] = {productIniPreInstallGroup, productIniPostInstallGroup};

// The reader takes item 1 as the systems, item 2 as the arguments joined by
// "::" and item 3 "optional"; without arguments the second item is left out,
// unless the optional mark needs its place.
QStringList installCommandValue(const PublishInstallCommand& c)
{
    QStringList items{productIniPlatformName};
    if (!c.arguments.isEmpty() || c.optional)
        items << c.arguments.join(productIniPartSeparator);
    if (c.optional)
        items << productIniOptionalWord;
    return items;
}

} // namespace

bool collectInstallPrograms(const PublishOptions& options, const QStringList& newFiles, QSet<QString>* programs,
                            QString* error)
{
    const QList<PublishInstallCommand>* lists[] = {&options.preInstall, &options.postInstall};
    for (int g = 0; g < 2; ++g) {
        QSet<QString> inGroup;
        for (const PublishInstallCommand& c : *lists[g]) {
            if (!newFiles.contains(c.program)) {
                *error = QStringLiteral("the %1 program %2 is not a file of %3")
                             .arg(kCommandGroups[g], c.program, options.newDir);
                return false;
            }
            // One key per program and group: a second line would replace the first.
            if (inGroup.contains(c.program)) {
                *error = QStringLiteral("the %1 program %2 is named twice").arg(kCommandGroups[g], c.program);
                return false;
            }
            inGroup.insert(c.program);
            for (const QString& a : c.arguments) {
                if (a.contains(productIniPartSeparator)) {
                    *error = QStringLiteral("the argument %1 of %2 holds \"::\", which separates arguments")
                                 .arg(a, c.program);
                    return false;
                }
            }
            programs->insert(c.program);
        }
    }
    return true;
}

// The updater runs a group's commands in the order its ini reader lists the
// keys, which is not the order they were written in.
bool writeInstallCommands(QSettings& ini, const PublishOptions& options, QString* error)
{
    const QList<PublishInstallCommand>* lists[] = {&options.preInstall, &options.postInstall};
    for (int g = 0; g < 2; ++g) {
        if (lists[g]->isEmpty())
            continue;
        QStringList given;
        ini.beginGroup(kCommandGroups[g]);
        for (const PublishInstallCommand& c : *lists[g]) {
            ini.setValue(c.program, installCommandValue(c));
            given << c.program;
        }
        const QStringList runOrder = ini.allKeys();
        ini.endGroup();
        if (runOrder != given) {
            *error = QStringLiteral("the updater would run the %1 commands in the order %2; give them in that order")
                         .arg(kCommandGroups[g], runOrder.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}
