#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadfiledata.h"

#include <QList>

class Configuration;
class QNetworkAccessManager;

// Fetches every file of the download list into the temp directory, at most
// "streams" at once. The list is read when the task executes, not when it is
// made: the product-ini step before it fills the list. Entries of one content
// (digest and size) are fetched once; the others get checked copies, since a
// tree may hold many names of one file, each listed with its own download.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // None of list, manager and config is owned.
    DownloadFileListTaskSpecification(QList<DownloadFileData>* list, QNetworkAccessManager* manager,
                                      Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    // The total is the size the product ini announced for the whole list,
    // each distinct download counted once.
    void getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal, qulonglong& speed,
                             bool& downloading) override;

    // The sum over distinct downloads: copies of one download add nothing.
    quint64 totalSize() const { return m_TotalSize; }

protected:
    void makeSubtasksAndStart();
    // Makes each distinct directory of the list once, before any download.
    bool createTargetDirs();

private:
    QList<DownloadFileData>* m_List;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    quint64 m_TotalSize = 0;
};

#endif // DOWNLOADFILELISTTASKSPECIFICATION_H
