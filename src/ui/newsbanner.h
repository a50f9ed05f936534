#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

// One line of rich-text news that scrolls from right to left, pausing three seconds after each
// pass. A comment "<!--URL=...-->" in the text gives the address opened by a click anywhere
// outside a link.
class NewsBanner final : public QWidget {
    Q_OBJECT

public:
    explicit NewsBanner(QWidget* parent = nullptr);

    void setNews(const QString& news);
    // The link target at a widget position, or an empty string.
    QString anchorAt(const QPoint& pos) const;
    // The address opened by a click outside any link; empty when the news names none.
    QString defaultUrl() const { return url; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QBasicTimer timer;
    QTextDocument* document;
    float offset = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString url;
};
