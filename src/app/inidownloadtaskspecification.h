#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "productininames.h"

#include <QString>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// Brings the target's product ini into the session's temp directory and
// accepts it only when its signature verifies against the built-in key. An
// ini or ".sig" file an earlier run of the session left there is not fetched
// again, but the signature is checked on every run.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Neither manager nor configuration is owned.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration, QObject* parent,
                                 qreal weight);

    void execute() override;
    void reset() override;
    void makeSubtasksAndStart();

    // Names on the file server (and in the temp directory) for the run the
    // configuration describes.
    QString iniName() const;
    QString packedName() const { return iniName() + productIniPackedSuffix; }
    QString signatureName() const { return iniName() + productIniSignatureSuffix; }

public slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    void subtasksDone() override;

private:
    QString localPath(const QString& name) const;

    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
};

#endif // INIDOWNLOADTASKSPECIFICATION_H
