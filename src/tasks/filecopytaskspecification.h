#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    bool run() override;

    // With a part path, the copy there must have this SHA-512 digest.
    void setExpectedHash(const QString& sha512Hex) { m_Hash = sha512Hex; }

private:
    QString m_Hash;
};

// Copies a file; an existing destination is never overwritten (the copy fails).
// With a part path the copy goes there, flushed to the disk and, given a
// digest, checked against it.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList* list, const QString& source, const QString& destination,
                              QObject* parent, qreal weight);

    void setExpectedHash(const QString& sha512Hex) { m_Hash = sha512Hex; }

protected:
    ASyncFunc* createFunc() override;

private:
    QString m_Hash;
};

#endif // FILECOPYTASKSPECIFICATION_H
