#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadfiledata.h"

class Configuration;
class QNetworkAccessManager;

// One entry of the download list: fetch section/name into the temp directory,
// then check it against its digest (or its signature when it has none). A
// mismatch fails the entry: whole-file downloads are installed as they are,
// and the new updater's files run from the temp directory.
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

protected:
    void makeSubtasksAndStart();

private:
    DownloadFileData m_Entry;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
};

#endif // DOWNLOADFILETASKSPECIFICATION_H
