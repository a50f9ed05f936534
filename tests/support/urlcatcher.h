#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Takes the place of the desktop's browser while it lives: every URL that the program asks to
// open for the given schemes is collected here instead.
class UrlCatcher final : public QObject {
    Q_OBJECT

public:
    explicit UrlCatcher(const QStringList& schemes = {QStringLiteral("http"),
                                                      QStringLiteral("https")})
        : handled(schemes) {
        for (const QString& scheme : handled)
            QDesktopServices::setUrlHandler(scheme, this, "openUrl");
    }
    ~UrlCatcher() override {
        for (const QString& scheme : handled)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> urls;

public slots:
    void openUrl(const QUrl& url) { urls.append(url); }

private:
    QStringList handled;
};
