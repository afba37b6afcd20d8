#ifndef UPDATESELFUNZIPTASKSPECIFICATION_H
#define UPDATESELFUNZIPTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacefiledata.h"

#include <QList>
#include <QString>

class Configuration;

// Builds the new updater in the session's temp directory: unpacks or patches
// every changed updater file there, then makes its "update" executable, writes
// the session record beside it and copies the translations. Nothing in the
// install directory is written.
class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Writes the running session's record into the "update.ini" of the given
    // directory; true when written.
    using TempIniWriter = bool (*)(const QString& directory);

    // writeTempIni is the session record's writer: the application passes
    // UpdateIniData::modifyTempIni, which the task library cannot reach itself.
    // Without one the record counts as not written and the task fails.
    UpdateSelfUnzipTaskSpecification(const QList<ReplaceFileData>* replacements, Configuration* configuration,
                                     QObject* parent, qreal weight, TempIniWriter writeTempIni = nullptr);

    void execute() override;
    void reset() override;

    // Where the translations are copied from; the running updater's own by default.
    void setTranslationsSource(const QString& dir) { m_TranslationsSource = dir; }
    // Whether the entries carry the tree's execute bits (read when the
    // subtasks are done; not owned). Without it "update" is made a program
    // by name, as are the other listed executable names.
    void setExecuteBitsListed(const bool* listed) { m_ExecuteBitsListed = listed; }

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    // Gives every new updater file the tree's execute bits; false with the
    // reason in *error at the first that cannot get them.
    bool followExecuteBits(QString* error);

    const QList<ReplaceFileData>* m_Replacements; // not owned
    Configuration* m_Configuration;               // not owned
    TempIniWriter m_WriteTempIni;
    QString m_TranslationsSource;
    const bool* m_ExecuteBitsListed = nullptr;
};

#endif // UPDATESELFUNZIPTASKSPECIFICATION_H
