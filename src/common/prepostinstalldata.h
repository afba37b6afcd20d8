#ifndef PREPOSTINSTALLDATA_H
#define PREPOSTINSTALLDATA_H

#include <QString>
#include <QStringList>

// One command of the product ini's "preinstall" or "postinstall" group.
struct PrePostInstallData
{
    // File name relative to the session's temp directory.
    QString program;
    // Already with the install-directory placeholder replaced.
    QStringList arguments;
    // False when the line marks the command "optional": its failure does not
    // fail the update.
    bool required = false;
    // SHA-512 hex of the program as the file line that installs it (the line
    // whose installed name is the program's) gives it; empty when no line
    // does, and then the command is not run.
    QString sha512{};
    // Where the installation holds the program. A program that is already
    // current there is not downloaded, so it is run from a copy of this.
    QString installedPath{};
};

#endif // PREPOSTINSTALLDATA_H
