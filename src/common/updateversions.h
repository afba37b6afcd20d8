#ifndef UPDATEVERSIONS_H
#define UPDATEVERSIONS_H

#include <QHash>
#include <QPair>
#include <QString>

// Newest version per channel name ("stable", "beta", "alpha") as the update
// server sent it: first the version number in decimal, then the version
// string. Registered as the meta-type "UpdateVersions" at start-up.
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;

#endif // UPDATEVERSIONS_H
