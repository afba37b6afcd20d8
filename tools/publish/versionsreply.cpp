#include "versionsreply.h"

#include "productininames.h"
#include "publishfiles.h"
#include "publishrules.h"

#include "UpdateMessage.pb.h"
#include "serverversions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Replaces the file at path with bytes in one rename, readable by every user
// (a web server's too). The bytes are written to a file without a name where
// the file system has them, so that a kill leaves nothing in the served
// folder; the name it then gets for the rename, or the named file elsewhere,
// carries this run's id, and the next run removes one whose run is gone.
bool replaceServedFile(const QString& path, const std::string& bytes)
{
    const QFileInfo target(path);
    const QString prefix = QLatin1Char('.') + target.fileName() + QStringLiteral(".qnd_publish-");
    const QDir dir = target.absoluteDir();
    const QStringList found = dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : found) {
        if (leftByEndedRun(name, prefix))
            QFile::remove(dir.filePath(name));
    }
    const QByteArray temp = QFile::encodeName(dir.filePath(prefix + QString::number(::getpid())));
    ::unlink(temp.constData());
    const auto written = [&](int fd) { return writeAll(fd, bytes) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0; };
    // Named only once whole; without unnamed files (or without /proc to name
    // one by), written under the temp name.
    bool named = false;
    const int unnamed = ::open(QFile::encodeName(dir.path()).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (unnamed >= 0) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(unnamed);
        named = written(unnamed)
            && ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, temp.constData(), AT_SYMLINK_FOLLOW) == 0;
        ::close(unnamed);
    }
    if (!named) {
        const int fd = ::open(temp.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        named = fd >= 0 && written(fd);
        named = (fd < 0 || ::close(fd) == 0) && named;
    }
    const bool ok = named && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
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
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !replaceServedFile(path, bytes)) {
        *error = QStringLiteral("cannot write the version reply %1").arg(path);
        return false;
    }
    return true;
}

bool bothTreesPublished(const QString& versionDir, int targetKind, QString* error)
{
    for (int kind : {1, 0}) {
        if (kind == targetKind)
            continue;
        const QString ini = QDir(versionDir).filePath(productIniName(kind));
        for (const QString& f : {ini, ini + productIniSignatureSuffix, ini + productIniPackedSuffix}) {
            if (!QFileInfo(f).isFile()) {
                *error = QStringLiteral("the version reply may only name a version whose client and updater trees are "
                                        "both published, and %1 has no %2 tree (%3 is missing): publish it first, or "
                                        "leave --channel out and write the reply later with --reply-only")
                             .arg(versionDir, QLatin1String(kind == 1 ? "client" : "updater"), f);
                return false;
            }
        }
    }
    return true;
}
