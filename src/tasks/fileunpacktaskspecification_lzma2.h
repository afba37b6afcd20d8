#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "unpacktask.h"

#include <string>

// The patch engine takes 8-bit paths: UTF-8 bytes.
std::string toOsString(const QString& path);

class FileUnpackFunc_lzma2 : public UnpackFunc
{
    Q_OBJECT
public:
    // outputLimit: the most bytes the unpacked file may have; a packed file
    // that claims or produces more is refused without writing it.
    FileUnpackFunc_lzma2(const QString& source, const QString& destination, quint64 outputLimit = kNoUnpackLimit);

    static bool unpackFile(const QString& source, const QString& destination, quint64 outputLimit = kNoUnpackLimit);
    // Unpacks into out as it is, with no part file.
    static bool unpackTo(const QString& source, const QString& out, quint64 outputLimit = kNoUnpackLimit);

    static const quint64 kNoUnpackLimit = ~quint64(0);

protected:
    bool unpackInto(const QString& out) override;
    const char* logName() const override { return "unpackFile"; }

private:
    const quint64 m_OutputLimit;
};

// Unpacks a download in the packed-file container ("_lzma2_") into its
// destination.
class FileUnpackTaskSpecification_lzma2 : public UnpackTaskSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* list, const QString& source, const QString& destination,
                                      QObject* parent, qreal weight);

    // The most bytes the unpacked file may have: what the signed product ini
    // declares for it, or the product ini's own cap.
    void setOutputLimit(quint64 bytes) { m_OutputLimit = bytes; }
    quint64 outputLimit() const { return m_OutputLimit; }

protected:
    ASyncFunc* createFunc() override;

private:
    quint64 m_OutputLimit = FileUnpackFunc_lzma2::kNoUnpackLimit;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H
