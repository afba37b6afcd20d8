#include "slowfileopspecification.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : m_Source(source), m_Destination(destination)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& secondInput, const QString& destination)
    : m_Source(source), m_SecondInput(secondInput), m_Destination(destination)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorText, RollbackDataList* list,
                                                 const QString& source, const QString& destination,
                                                 QObject* parent, qreal weight)
    : SlowFileOpSpecification(errorText, list, source, QString(), destination, parent, weight)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorText, RollbackDataList* list,
                                                 const QString& source, const QString& secondInput,
                                                 const QString& destination, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_RollbackList(list), m_Source(source),
      m_SecondInput(secondInput), m_Destination(destination), m_ErrorText(errorText)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok) {
        if (m_RollbackList)
            m_RollbackList->append(RollbackData(FILE_CREATE, m_Destination));
    } else {
        emit message(m_ErrorText);
    }
    ASyncTaskSpecification::runDone(ok);
}
