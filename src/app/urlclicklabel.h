#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

class QMouseEvent;

// A label (an image, usually) that opens a web address when clicked.
class UrlClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    QString url() const { return m_Url; }

protected:
    // Any button opens the address; the click is not passed on.
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_Url;
};

#endif // URLCLICKLABEL_H
