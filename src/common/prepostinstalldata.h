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
};

#endif // PREPOSTINSTALLDATA_H
