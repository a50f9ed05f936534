#pragma once

#include <QLabel>
#include <QString>

// A label that opens its URL in the desktop's browser when clicked.
class UrlClickLabel final : public QLabel {
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    QString getUrl() const { return url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString url;
};
