#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

#include <functional>

// Work object of a slow file operation: copies of its paths only.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString& source, const QString& destination);
    SlowFileOpFunc(const QString& source, const QString& secondInput, const QString& destination);

    // Writes the output there instead of over the destination; see produce().
    void setPartPath(const QString& part) { m_Part = part; }

    // Writes one output file.
    using Writer = std::function<bool(const QString& out)>;

    // Lets write() fill a new file beside destination, flushes it to the disk
    // and renames it over destination only when complete (keeping the mode of
    // the file that was there), so a failure never leaves a half-written
    // destination nor removes the file that was there.
    static bool writeBeside(const QString& destination, const Writer& write);

protected:
    // The work's output: with a part path, written there and flushed, for the
    // caller to check and put in place; without one, as writeBeside(). A
    // failure leaves no output and says why when the cause is worth telling
    // (a full disk, say), naming the destination.
    bool produce(const Writer& write);

    const QString m_Source;
    const QString m_SecondInput; // empty when the operation has none
    const QString m_Destination;
    QString m_Part; // empty: write over the destination
};

// A file operation done in the thread pool that writes one output file. On
// success the output is recorded as created; on failure the error text goes
// out as a message, and is the cause unless the work gave one.
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

    // The output goes to this new file instead of the destination, which is
    // left alone; texts still name the destination.
    void setPartPath(const QString& part) { m_Part = part; }
    // Where the output is written: the part path, else the destination.
    const QString& outputPath() const { return m_Part.isEmpty() ? m_Destination : m_Part; }

protected:
    void runDone(bool ok) override;
    // Hands the part path on to a new work object.
    ASyncFunc* prepared(SlowFileOpFunc* func) const;

private:
    RollbackDataList* m_RollbackList; // may be null; not owned
    QString m_Source;
    QString m_SecondInput;
    QString m_Destination;
    QString m_ErrorText;
    QString m_Part;
};

#endif // SLOWFILEOPSPECIFICATION_H
