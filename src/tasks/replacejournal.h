#ifndef REPLACEJOURNAL_H
#define REPLACEJOURNAL_H

#include "installpath.h"
#include "rollback.h"

#include <QString>
#include <QStringList>

class QObject;

// The on-disk record of one session's changes to an install directory, kept
// so that a crash at any instant can be undone at the next start. It lives
// in a private folder of the install directory (same file system, so its
// files can be renamed over installed ones) together with the part files
// and backups of the session, all under short generated names. The folder
// must be a real directory of this user: anything else of that name is
// refused, never followed, emptied or removed.
//
// Every change is noted, and the note flushed, before it is made; undoing a
// noted change that never happened is harmless, so replaying the notes
// last-first always ends at the old installation. The session holds a lock
// on the journal for as long as it runs, and only a journal whose lock can
// be taken (its session is gone) is replayed.
//
// The journal's lines, kinds and versions are listed in replacejournal.cpp.
class ReplaceJournal
{
public:
    ReplaceJournal(const QString& installDir, const QString& tempDir);
    // Closes the file (letting go of the lock) and leaves the folder as it
    // is: an end that is neither finish() nor a rollback is treated as a
    // crash.
    ~ReplaceJournal();
    ReplaceJournal(const ReplaceJournal&) = delete;
    ReplaceJournal& operator=(const ReplaceJournal&) = delete;

    static QString folderName();
    static QString folderPath(const QString& installDir);

    // Creates the folder and the journal and locks it; a folder left by an
    // earlier session is recovered first. False with the reason in *error.
    bool begin(QString* error);
    bool isOpen() const { return m_Fd >= 0; }
    const QString& installDir() const { return m_InstallDir; }

    // A new, unused path in the private folder.
    QString newStagePath();
    // A path that reaches the stage path through the open folder itself, for
    // work that writes or reads it by path: a swapped folder cannot redirect
    // it. The stage path itself while the journal is not open.
    QString boundPath(const QString& stagePath) const;
    // The open folder, -1 while the journal is not open.
    int folderFd() const { return m_FolderFd.get(); }

    // Notes one change before it is made: FILE_CREATE and DIR_CREATE of a
    // path in the install directory, FILE_RESTORE of an installed path from a
    // stage path. Begins the journal when needed. False (nothing may be
    // changed then) when it cannot be flushed to the disk.
    bool note(const RollbackData& record, QString* error);

    // Moves the entry at path (a file, link or directory below the install
    // directory) into the folder, noted first as FILE_RESTORE, and flushes
    // both directories. False when it was not moved or not flushed;
    // *stagePath (when given) gets where it lies whenever it was moved, so
    // that a rollback in memory can put it back.
    bool moveAside(const QString& path, QString* error, QString* stagePath = nullptr);

    // The session has ended well: the backups and the journal go.
    bool finish(QString* error);
    // Undoes every noted change, newest first, then removes the folder; on a
    // failure the folder stays for the next start.
    bool rollBack(QObject* reporter);
    // The changes were undone otherwise: only the folder goes.
    void discard();

    // Start-up: undoes what an unfinished session left in installDir (or
    // clears a finished one's leftovers). *tempDir gets the session's temp
    // directory from the journal, for the caller to remove. True when the
    // folder is gone (or was never there). A journal that is still locked,
    // or that holds what this updater cannot undo in full, is left as it is
    // and *why (when given) says why.
    // The install directory is opened once, its name not followed.
    static bool recover(const QString& installDir, QString* tempDir, QString* why = nullptr);
    // The same in the install directory root, opened by the caller: every
    // step works below that descriptor, whatever its name leads to by then.
    static bool recover(const InstallRoot& root, QString* tempDir, QString* why = nullptr);

private:
    static bool replay(const InstallRoot& root, int journal, QObject* reporter, QString* tempDir, QString* why);
    // Empties the open folder and removes it from the open install
    // directory root; true when it is gone.
    static bool removeFolder(int root, int folder);
    void close();

    QString m_InstallDir;
    QString m_TempDir;
    QString m_Folder;
    UniqueFd m_FolderFd;
    int m_Fd = -1;
    int m_Next = 0;
};

#endif // REPLACEJOURNAL_H
