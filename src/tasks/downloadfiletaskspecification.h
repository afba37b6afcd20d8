#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadfiledata.h"

#include <QList>

class Configuration;
class QNetworkAccessManager;

// One entry of the download list: fetch section/name into the temp directory,
// then check it against its digest (or its signature when it has none). A
// mismatch fails the entry: whole-file downloads are installed as they are,
// and the new updater's files run from the temp directory. Entries of the
// same content may ride along as copies of the one download.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // manager and config are not owned.
    DownloadFileTaskSpecification(const DownloadFileData& entry, QNetworkAccessManager* manager, Configuration* config,
                                  QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

    const DownloadFileData& entry() const { return m_Entry; }
    QString localPath() const;

    // Gives other, an entry whose content is this entry's, a copy of the
    // checked download instead of a download of its own. The copy is checked
    // against other's digest, so it must have one.
    void addCopy(const DownloadFileData& other) { m_Copies.append(other); }
    const QList<DownloadFileData>& copies() const { return m_Copies; }

protected:
    void makeSubtasksAndStart();

private:
    QString localPathOf(const DownloadFileData& entry) const;

    DownloadFileData m_Entry;
    QList<DownloadFileData> m_Copies;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
};

#endif // DOWNLOADFILETASKSPECIFICATION_H
