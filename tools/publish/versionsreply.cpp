#include "versionsreply.h"

#include "UpdateMessage.pb.h"
#include "serverversions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

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

QString channelProblem(const QString& channel)
{
    if (channel == QLatin1String("stable") || channel == QLatin1String("beta") || channel == QLatin1String("alpha"))
        return QString();
    return QStringLiteral("unknown channel %1: the updater asks for stable, beta or alpha").arg(channel);
}

bool checkVersionsReply(const QString& dir, const QStringList& channels, int version, bool allowOlder, QString* error)
{
    if (dir.isEmpty()) {
        *error = QStringLiteral("channels are named but no directory for the version reply");
        return false;
    }
    for (const QString& c : channels) {
        *error = channelProblem(c);
        if (!error->isEmpty())
            return false;
    }
    quendrail::update::Versions message;
    if (!readReply(QDir(dir).filePath(QLatin1String(kVersionReplyName)), &message, error))
        return false;
    for (const quendrail::update::Channel& c : message.channels()) {
        if (!allowOlder && c.version_number() > version && channels.contains(QString::fromStdString(c.name()))) {
            *error = QStringLiteral("the %1 channel names version %2: naming version %3 would move it back; give "
                                    "--allow-older to do that")
                         .arg(QString::fromStdString(c.name()), QString::number(c.version_number()),
                              QString::number(version));
            return false;
        }
    }
    return true;
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
        || out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !out.commit()
        || !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther)) {
        *error = QStringLiteral("cannot write the version reply %1").arg(path);
        return false;
    }
    return true;
}
