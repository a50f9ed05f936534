#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent) {}

void UrlClickLabel::setUrl(const QString& newUrl) {
    url = newUrl;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event) {
    // Any button opens the URL; an empty one is handed on too and the desktop refuses it.
    QDesktopServices::openUrl(QUrl(url));
    event->accept();
}
