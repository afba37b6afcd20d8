#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "downloadreplacelistdata.h"
#include "patchdata.h"

#include <QHash>
#include <QMultiHash>
#include <QSet>
#include <QString>

class Configuration;
class QSettings;

// Reads the verified product ini in a pool thread and decides, file by file,
// whether the installed file is current, can be patched, or must be fetched
// whole. Every name from the ini is checked before it is used as a path: the
// ini is signed, but a bad one must fail the run, not touch files elsewhere.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Copies what it needs from config here, in the GUI thread; result is
    // written only from run() and must outlive it.
    MakeDownloadReplaceListFunc(Configuration* config, DownloadReplaceListData* result);

    bool run() override;

    // The ini of this run: temp dir, "/", "qnd_" in a client run, the ini base
    // name, ".ini".
    QString productIniPath() const;

    // Number of keys in all child groups together (keys outside every group
    // do not count).
    static int countIniKeys(QSettings& settings);
    // 1 win32, 2 win64, 3 linux32, 4 linux64, 5 mac, else 0 (case-insensitive).
    static int platformId(const QString& name);
    static int currentPlatformId() { return 4; }

private:
    bool readPatchLine(const QString& group, const QString& key, const QString& value);
    bool readFileLine(const QString& group, const QString& key, const QString& value);
    enum class LineRead { Read, Skipped, Rejected };
    // A file line's parts into *download and *replace, checked; a line of
    // another shape is skipped with a warning, bad values reject it.
    LineRead parseFileLine(const QString& group, const QString& key, const QString& value, DownloadFileData* download,
                           ReplaceFileData* replace);
    // Takes installedName for this line, which no other line nor the
    // updater's own files may have, and gives replace the tree's execute bits.
    bool claimInstalledName(const QString& group, const QString& key, const QString& installedName,
                            const DownloadFileData& download, ReplaceFileData* replace);
    // Picks the patch whose base is the installed file open at installed,
    // fetched in place of the whole file; false when none fits.
    bool choosePatch(int installed, const QString& installedPath, const QString& key, DownloadFileData* download,
                     ReplaceFileData* replace);
    // Lists the replacement, and the download unless it lies in the temp
    // directory already.
    bool queueDownload(const QString& key, const DownloadFileData& download, const ReplaceFileData& replace);
    // Copies the current installed file open at fd into the temp directory.
    bool carryOver(int fd, quint64 size, int mode, const QString& installedPath, const QString& targetName,
                   const QString& expected);
    bool readDeleteLine(const QString& key, const QVariant& value);
    bool readInstallCommand(const QString& group, const QString& key, const QVariant& value);
    // Whether the regular file open at fd, found at path below root, has
    // size bytes with that digest (or, for an empty one, a valid signature
    // beside it); a file of another size is not read at all.
    bool fileMatches(const QString& root, const QString& path, int fd, quint64 size, const QString& sha512Hex);
    void step();
    // Sends the invalid-line warning and the reason; the run then fails.
    bool rejectLine(const QString& group, const QString& key, const QString& reason);
    // In a client run: the updater's own program (and anything below its
    // name), its session record and lock, and the replacement journal's
    // folder, which no line may delete, nor write but the program itself.
    bool isUpdaterOwnPath(const QString& relativePath) const;

    // An ini that names another version than this is a replay of an older
    // (genuinely signed) one, and is refused.
    bool versionMatches(QSettings& ini);
    // False, naming both lines of each, when lines of the ini cannot all
    // hold in one tree. Checked before any line is acted on.
    bool fitsOneTree(QSettings& ini);
    // The tree's execute bits, when the ini lists them; false for a list
    // that cannot be read.
    bool readExecutables(QSettings& ini);
    // The tree's execute bits for an installed name (-1 without the list).
    int executeBits(const QString& installedName) const;
    // A current file (of mode oldMode) whose execute bits are not the tree's
    // is noted (client run) or its copy given them (updater run).
    bool followExecuteBits(int oldMode, const QString& installedName, const QString& copyPath);
    // False, with the reason, when the names the ini lists cannot be read
    // or written where they stand in the installation. Checked before any
    // installed file is read.
    bool installationFits(QSettings& ini);
    // In a client run: false, with a message naming the entry, when the new
    // tree's files cannot be put in place without removing a user's file.
    bool treeFitsInstallation();

    QString m_TempDir;
    QString m_InstallDir;
    int m_ClientUpdate = 0;
    int m_Version = 0;
    DownloadReplaceListData* m_Result;

    QMultiHash<QString, PatchData> m_PatchesByTarget;
    QSet<QString> m_Targets;                    // installed names of the lines read so far
    QHash<QString, QString> m_InstalledDigests; // installed name -> its SHA-512
    QSet<QString> m_SharedFiles;                // installed names whose file another name shares
    // Digest checks already made, by file identity and digest: many names
    // may lead to one file, whose bytes are then read once.
    QHash<QByteArray, bool> m_DigestChecks;
    bool m_HasExecutables = false;
    QHash<QString, int> m_ExecuteBits; // cleaned installed name -> mode & 0111
    int m_Total = 0;
    int m_Step = 0;
};

class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // Neither config nor result is owned; result is changed only when the
    // reader succeeds, and then holds its complete output.
    MakeDownloadReplaceListTaskSpecification(Configuration* config, DownloadReplaceListData* result, QObject* parent,
                                             qreal weight);
    // Waits for a reader still running: it writes into this task's record.
    ~MakeDownloadReplaceListTaskSpecification() override;

protected:
    ASyncFunc* createFunc() override;
    void runDone(bool res) override;

private:
    Configuration* m_Config;
    DownloadReplaceListData* m_Result;
    DownloadReplaceListData m_Own;
};

#endif // MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
