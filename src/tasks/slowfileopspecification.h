#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

// Work object of a slow file operation: copies of its paths only.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString& source, const QString& destination);
    SlowFileOpFunc(const QString& source, const QString& secondInput, const QString& destination);

protected:
    const QString m_Source;
    const QString m_SecondInput;  // empty when the operation has none
    const QString m_Destination;
};

// A file operation done in the thread pool that writes one output file. On
// success the output is recorded as created; on failure the error text goes
// out as a message.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // errorText is the finished text reported when the work fails.
    SlowFileOpSpecification(const QString& errorText, RollbackDataList* list, const QString& source,
                            const QString& destination, QObject* parent, qreal weight);
    SlowFileOpSpecification(const QString& errorText, RollbackDataList* list, const QString& source,
                            const QString& secondInput, const QString& destination, QObject* parent, qreal weight);

    const QString& source() const { return m_Source; }
    const QString& secondInput() const { return m_SecondInput; }
    const QString& destination() const { return m_Destination; }
    const QString& errorText() const { return m_ErrorText; }

protected:
    void runDone(bool ok) override;

private:
    RollbackDataList* m_RollbackList;  // may be null; not owned
    QString m_Source;
    QString m_SecondInput;
    QString m_Destination;
    QString m_ErrorText;
};

#endif // SLOWFILEOPSPECIFICATION_H
