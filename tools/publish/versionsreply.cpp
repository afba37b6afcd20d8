#include "versionsreply.h"

#include "UpdateMessage.pb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const char* const kReplyName = "qnd-client-2";
// The updater reads at most this much of a reply.
const qint64 kMaxReplyBytes = 1024 * 1024;

// An existing reply, or an empty message when there is none.
bool readReply(const QString& path, quendrail::update::Versions* message, QString* error)
{
    if (!QFileInfo::exists(path))
        return true;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxReplyBytes) {
        *error = QStringLiteral("cannot read the version reply %1").arg(path);
        return false;
    }
    const QByteArray bytes = f.readAll();
    if (!message->ParseFromArray(bytes.constData(), bytes.size())) {
        *error = QStringLiteral("%1 is not a version reply the updater can read; remove or fix it").arg(path);
        return false;
    }
    return true;
}

} // namespace

bool checkVersionsReply(const QString& dir, const QStringList& channels, QString* error)
{
    if (dir.isEmpty()) {
        *error = QStringLiteral("channels are named but no directory for the version reply");
        return false;
    }
    for (const QString& c : channels) {
        if (c != QLatin1String("stable") && c != QLatin1String("beta") && c != QLatin1String("alpha")) {
            *error = QStringLiteral("unknown channel %1: the updater asks for stable, beta or alpha").arg(c);
            return false;
        }
    }
    quendrail::update::Versions message;
    return readReply(QDir(dir).filePath(QLatin1String(kReplyName)), &message, error);
}

bool writeVersionsReply(const QString& path, const QStringList& channels, int version, const QString& text,
                        QString* error)
{
    quendrail::update::Versions message;
    if (!readReply(path, &message, error))
        return false;
    if (!message.has_licenseagreementid())
        message.set_licenseagreementid(0);
    const std::string textBytes = text.toStdString();
    for (const QString& name : channels) {
        const std::string n = name.toStdString();
        bool found = false;
        // Every entry of the name: the updater reads the first, nothing may
        // keep an older one ahead of it.
        for (quendrail::update::Channel& c : *message.mutable_channels()) {
            if (c.name() == n) {
                c.set_version_number(version);
                c.set_version_string(textBytes);
                found = true;
            }
        }
        if (!found) {
            quendrail::update::Channel* c = message.add_channels();
            c->set_name(n);
            c->set_version_number(version);
            c->set_version_string(textBytes);
        }
    }
    const std::string bytes = message.SerializeAsString();
    QSaveFile out(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !out.open(QIODevice::WriteOnly)
        || out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !out.commit()) {
        *error = QStringLiteral("cannot write the version reply %1").arg(path);
        return false;
    }
    return true;
}
