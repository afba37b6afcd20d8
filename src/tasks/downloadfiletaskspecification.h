#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadfiledata.h"

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// One entry of the download list: fetch section/name into the temp directory,
// then check it against its digest. A mismatch is only reported: the installed
// result is checked again when it is put in place.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // manager and config are not owned.
    DownloadFileTaskSpecification(const DownloadFileData& entry, QNetworkAccessManager* manager,
                                  Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

    const DownloadFileData& entry() const { return m_Entry; }
    QString localPath() const;

public slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    void makeSubtasksAndStart();

private:
    DownloadFileData m_Entry;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
};

#endif // DOWNLOADFILETASKSPECIFICATION_H
