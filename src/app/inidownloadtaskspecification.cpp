#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "globals.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

const qreal kDownloadWeight = 0.3333;
// Neither size is known before the ini is read; these bound what a broken or
// hostile server can make us write (a product ini packs to a few hundred KiB,
// a signature is a few hundred bytes).
const qint64 kMaxPackedIniBytes = 64 * 1024 * 1024;
const qint64 kMaxSignatureBytes = 64 * 1024;

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration,
                                                           QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Manager(manager), m_Config(configuration)
{
}

QString IniDownloadTaskSpecification::iniName() const
{
    return productIniFileName(m_Config->m_ClientUpdate);
}

QString IniDownloadTaskSpecification::localPath(const QString& name) const
{
    return m_Config->m_TempDir + QLatin1Char('/') + name;
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    // A second execute without a reset must not fetch everything twice.
    if (!allSubTasks().isEmpty())
        clearSubTasks();

    const QString ini = iniName();
    const QString packed = packedName();
    const QString signature = signatureName();
    const QString localIni = localPath(ini);
    const QString localPacked = localPath(packed);
    const QString localSignature = localPath(signature);
    qDebug() << "makeSubtasksAndStart" << ini << packed;

    qreal w = 1.0;
    if (!QFileInfo::exists(localIni)) {
        qDebug() << "Requesting" << packed;
        auto* download = new DownloadTaskSpecification(m_Manager, packed, m_Config->m_Version, localPacked, -1, this,
                                                       kDownloadWeight);
        download->setMaxSize(kMaxPackedIniBytes);
        addSubTask(download);
        // Unpacked before its signature is checked: bounded like every byte
        // from the server.
        auto* unpack = new FileUnpackTaskSpecification_lzma2(nullptr, localPacked, localIni, this, 1.0);
        unpack->setOutputLimit(kMaxProductIniBytes);
        addSubTask(unpack);
        w = 1.0 - kDownloadWeight;
    }
    if (!QFileInfo::exists(localSignature)) {
        qDebug() << "Requesting" << signature;
        auto* download = new DownloadTaskSpecification(m_Manager, signature, m_Config->m_Version, localSignature, -1,
                                                       this, kDownloadWeight);
        download->setMaxSize(kMaxSignatureBytes);
        addSubTask(download);
        w -= kDownloadWeight;
    }
    auto* check = new CheckSignatureTaskSpecification(localIni, QString(), true, this, w);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);
    setState(TASK_RUNNING);
    startSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification* /*task*/)
{
    if (pass || state() != TASK_RUNNING)
        return;
    qWarning() << "Failed to verify product ini, aborting";
    // Kept, an altered or half-written ini would be reused and refused by
    // every later run of this session; removed, the next run fetches both
    // files again.
    QFile::remove(localPath(iniName()));
    QFile::remove(localPath(signatureName()));
    failWith(QStringLiteral("Could not verify the product ini file. Aborting"));
}

void IniDownloadTaskSpecification::subtasksDone()
{
    // Already ended by a refused signature: the failing check subtask must
    // not end this task a second time.
    if (state() != TASK_RUNNING)
        return;
    ComposedTaskSpecification::subtasksDone();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    ComposedTaskSpecification::reset();
}
