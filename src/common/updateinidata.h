#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The session record: group "current" of the application directory's
// sessionRecordName ("update.ini") (target version, session temp directory, install directory,
// client type). A later run reads it to continue or clean up that session;
// an updater run copies it beside the new updater it unpacked.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    static QString iniPath();

    // True when a usable record exists; then every non-null output is filled,
    // otherwise all of them keep their values. The record is read from disk
    // and the engine deletes and writes in "dir", so a "dir" that is not one
    // of this user's own session temp directories is refused.
    static bool get(int* version, QString* type, QString* dir, QString* qnddir);
    // The record's temp and install directories beside the updater in
    // appDir as they are written, unchecked: for callers that check them
    // against what they find on disk themselves.
    static void recordedDirs(const QString& appDir, QString* dir, QString* qnddir);
    // The installation this run works on: the install directory of the
    // record beside the program when the program runs from that session's
    // temp directory, or from the installation's copy of it (the second
    // step of a self-update), else the application directory.
    static QString installDirForRun();
    static bool modify(int version, const QString& dir, const QString& qnddir, const QString& type);
    // Writes the current record, with the client type, into path's "update.ini",
    // together with the "Channel" and "update" settings of the application
    // directory's file: the new updater started from path reads its settings
    // there, and must read the same ones as this run.
    static bool modifyTempIni(const QString& path);
    // Drops the record and keeps every other group (the user's settings); the
    // file goes only when nothing is left in it.
    static bool removeRecord();
};

#endif // UPDATEINIDATA_H
