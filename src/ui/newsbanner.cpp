#include "ui/newsbanner.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>
#include <QUrl>

namespace {
constexpr int ScrollIntervalMs = 10;
constexpr int PauseMs = 3000;
constexpr float ScrollStep = 0.5f;
// The text starts (and restarts) this far inside the right edge and pauses once its right edge
// is this far beyond the left edge.
constexpr int EdgeMargin = 10;
} // namespace

NewsBanner::NewsBanner(QWidget* parent)
    : QWidget(parent)
    , document(new QTextDocument(this)) {
    setObjectName(QStringLiteral("NewsBanner"));
    setFixedHeight(16);
}

void NewsBanner::setNews(const QString& news) {
    url.clear();
    // Greedy and across lines: with two comments the capture spans from the first to the last.
    static const QRegularExpression comment(QStringLiteral("<!--(.+)-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(news);
    if (match.hasMatch()) {
        const QString content = match.captured(1);
        const qsizetype eq = content.indexOf(QLatin1Char('='));
        if (eq >= 0 && content.left(eq) == QLatin1String("URL"))
            url = content.mid(eq + 1);
    }

    document->setHtml(news);
    document->setDocumentMargin(0);
    paused = false;
    offset = float(width() - EdgeMargin);
    const QSizeF size = document->size();
    textWidth = int(size.width());
    textHeight = int(size.height());
    setFixedHeight(textHeight);
    timer.start(ScrollIntervalMs, this);
}

QString NewsBanner::anchorAt(const QPoint& pos) const {
    const QPointF docPos(int(pos.x() - offset), pos.y());
    return document->documentLayout()->anchorAt(docPos);
}

void NewsBanner::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        timer.start(ScrollIntervalMs, this);
    }
    offset -= ScrollStep;
    update();
}

void NewsBanner::mousePressEvent(QMouseEvent* event) {
    const QString anchor = anchorAt(event->position().toPoint());
    if (!anchor.isEmpty())
        QDesktopServices::openUrl(QUrl(anchor));
    else if (!url.isEmpty())
        QDesktopServices::openUrl(QUrl(url));
    event->accept();
}

void NewsBanner::paintEvent(QPaintEvent*) {
    if (paused)
        return;
    // The widget may have become narrower since the text started.
    if (int(offset) > width())
        offset = float(width() - EdgeMargin);

    QPainter painter(this);
    painter.translate(offset, (height() - textHeight) * 0.5);
    document->drawContents(&painter);

    if (int(offset) + textWidth < -EdgeMargin) {
        paused = true;
        offset = float(width() - EdgeMargin);
        timer.start(PauseMs, this);
    }

    const QPoint mouse = mapFromGlobal(QCursor::pos());
    setCursor(anchorAt(mouse).isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}
