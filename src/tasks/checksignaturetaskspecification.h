#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QByteArray>
#include <QString>

struct ltc_hash_descriptor;

// Checks one file: against its signature in "<file>.sig" (RSA-PSS over SHA-1,
// built-in key) when no digest is given, else against a SHA-512 hex digest.
// Runs in a pool thread; never throws.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(const QString& filePath, const QString& sha512Hex);

    bool run() override;
    bool checkRSA();
    bool checkSHA512();

    // How a digest mismatch names the file: the name it stands for and the
    // address it was fetched from (either may be empty).
    void setOrigin(const QString& reportedPath, const QString& url)
    {
        m_ReportedPath = reportedPath;
        m_Url = url;
    }

    // For a check that asks a question (is this file current, is it this
    // patch's base): a mismatch is then logged at debug level only, and
    // nothing reaches standard error.
    void setMismatchExpected(bool expected) { m_MismatchExpected = expected; }

    // Reads a small file whole; a file larger than maxSize is refused.
    bool readWholeFile(const QString& path, QByteArray& out, qint64 maxSize);
    // Hashes a file of any size in chunks with libtomcrypt's hash.
    bool hashFile(const QString& path, const ltc_hash_descriptor& hash, QByteArray& digest);

    // The same check on the first size bytes of a file the caller opened
    // (the path then only names it), reading no more of it: against the
    // digest, or for an empty one against the signature open at
    // signatureFd (-1: none).
    bool checkOpenFile(int fd, qint64 size, int signatureFd);

private:
    bool hashOpenFile(int fd, qint64 size, const ltc_hash_descriptor& hash, QByteArray& digest);
    bool signatureMatches(const QByteArray& sha1Digest, const QByteArray& signature);
    bool digestMatches(const QByteArray& sha512Digest);

    QString m_FilePath;
    QString m_Sha512Hex;
    QString m_ReportedPath;
    QString m_Url;
    bool m_MismatchExpected = false;
};

class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckSignatureTaskSpecification(const QString& filePath, const QString& sha512Hex, bool failOnMismatch,
                                    QObject* parent, qreal weight);

    const QString& filePath() const { return m_FilePath; }
    // The name a failed check reports, when the file checked stands in for
    // another (a part file for the installed file it becomes).
    void setReportedPath(const QString& path) { m_ReportedPath = path; }
    // Where the file was fetched from, named when its digest does not match.
    void setSourceUrl(const QString& url) { m_SourceUrl = url; }

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    ASyncFunc* createFunc() override;
    void runDone(bool res) override;

private:
    QString m_FilePath;
    QString m_Sha512Hex;
    bool m_FailOnMismatch;
    QString m_ReportedPath;
    QString m_SourceUrl;
};

#endif // CHECKSIGNATURETASKSPECIFICATION_H
