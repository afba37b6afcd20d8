#ifndef PRODUCTININAMES_H
#define PRODUCTININAMES_H

#include <QLatin1String>
#include <QString>
#include <QStringList>

// The names the product ini is made of. The updater's reader, the publisher
// that writes an ini and the publisher's verifier all take them from here: a
// name spelt differently in one of them would make an ini that one side
// writes and the other misreads.

// Between the parts of a line, the items of an "executables" entry and the
// names and arguments of an install command.
inline const QLatin1String productIniPartSeparator("::");
// A key ending in it is a patch line: the patch's name on the file server.
inline const QLatin1String productIniPatchSuffix("_patch_");

// The groups that hold no files; every other group is a folder on the file
// server. "General" is where the ini format keeps the keys outside every
// group, so no file group may take that name either.
inline const QLatin1String productIniDeleteGroup("delete");
inline const QLatin1String productIniPreInstallGroup("preinstall");
inline const QLatin1String productIniPostInstallGroup("postinstall");
inline const QLatin1String productIniGeneralGroup("General");

// Keys outside every group: the version the ini is for, and the tree's
// execute bits.
inline const QLatin1String productIniVersionKey("version");
// A string list of "<octal bits>::<installed relative name>" items, e.g.
// "111::bin/tool" or "100::run.sh", where the bits are the file's mode & 0111.
// A file of the tree that is not listed has none. An ini without the key
// leaves the bits to isExecutableName (filemode.h).
inline const QLatin1String executablesIniKey("executables");

// An install command: the platform it runs on, the word that makes it
// optional, and the placeholder its arguments may hold for the install
// directory.
inline const QLatin1String productIniPlatformName("linux64");
inline const QLatin1String productIniOptionalWord("optional");
inline const QLatin1String productIniDirPlaceholder("__QND_DIR__");

// Beside the ini on the file server: its signature and its packed form.
inline const QLatin1String productIniSignatureSuffix(".sig");
inline const QLatin1String productIniPackedSuffix("._lzma2_");

// Names the updater keeps for itself at the top of an installation; no line
// of a client's ini may install or delete them, except that a client line may
// replace the updater's program itself: the client step is what updates the
// installed updater.
inline const QLatin1String updaterProgramName("update");
inline const QLatin1String sessionRecordName("update.ini");
// The file an updater holds locked for as long as it works on that
// installation.
inline const QLatin1String installLockFileName(".qnd-lock");
inline const QLatin1String replaceFolderName(".qnd-replace");
// Where the second step of a self-update runs from when the session's temp
// directory cannot run programs.
inline const QLatin1String newUpdaterFolderName(".qnd-updater");

// Base name of the product ini: "client_linux_amd64" for a client run
// (targetKind not 0), "update_linux_amd64" for an updater run.
QString iniBaseName(int targetKind);

// "qnd_client_linux_amd64.ini" for a client (targetKind 1),
// "update_linux_amd64.ini" for the updater (targetKind 0).
QString productIniFileName(int targetKind);

// The names above that the updater keeps for itself at the top of an
// installation of targetKind; the program's name is among them for a client
// (targetKind 1) only.
QStringList updaterOwnNames(int targetKind);

// Whether a relative installed name (cleaned) is one of the names above that a
// client's ini may not touch, or lies inside the replacement folder.
bool isReservedClientName(const QString& relativeName);

#endif // PRODUCTININAMES_H
