#include "ui/changelogviewer.h"

#include "config/settings.h"
#include "download/processrandom.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int DefaultWidth = 617;
constexpr int DefaultHeight = 500;
constexpr int RequestTimeoutMs = 2000;
constexpr int LineMargin = 50;
constexpr qint64 MaxBodyBytes = qint64(1024) * 1024;
} // namespace

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

ChangeLogViewer::ChangeLogViewer(QWidget* parent)
    : QDialog(parent)
    , changeLogTextEdit(new QTextEdit(this)) {
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setWindowTitle(tr("Changelog"));
    // A dialog window with the system menu only: no help button, no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint);
    setAttribute(Qt::WA_DeleteOnClose);

    changeLogTextEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    changeLogTextEdit->setReadOnly(true);
    changeLogTextEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont font = changeLogTextEdit->font();
    font.setFamily(QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    changeLogTextEdit->setFont(font);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(changeLogTextEdit);
    layout->addWidget(buttons);
    resize(DefaultWidth, DefaultHeight);
}

ChangeLogViewer::~ChangeLogViewer() {
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget* parent, const Settings& settings,
                                                const QString& version) {
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        // The alpha server is the alpha channel's only address.
        if (!settings.alphaUrl.isEmpty())
            m_instance->mirrorUrls.append(settings.alphaUrl);
        else
            for (const MirrorSetting& mirror : settings.mirrors)
                if (!mirror.url.isEmpty())
                    m_instance->mirrorUrls.append(mirror.url);
        m_instance->requestRemote(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

void ChangeLogViewer::requestRemote(const QString& newVersion) {
    if (reply)
        return;
    changeLogTextEdit->setText(tr("Loading..."));
    if (!newVersion.isEmpty())
        version = newVersion;

    QString url = getRandomMirror();
    if (url.isEmpty()) {
        changeLogTextEdit->setText(tr("Failed to load changelog."));
        return;
    }
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    url += version + QStringLiteral("/changelog_client.txt");

    if (!networkManager) {
        networkManager = new QNetworkAccessManager(this);
        // A redirect is a failing address, never followed.
        networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    body.clear();
    reply = networkManager->get(QNetworkRequest(QUrl(url)));
    connect(reply, &QNetworkReply::readyRead, this, &ChangeLogViewer::onRequestReadyRead);
    connect(reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);

    if (!requestTimer) {
        requestTimer = new QTimer(this);
        requestTimer->setSingleShot(true);
        requestTimer->setInterval(RequestTimeoutMs);
        connect(requestTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    requestTimer->start();
}

QString ChangeLogViewer::getRandomMirror() {
    if (mirrorUrls.isEmpty())
        return QString();
    const int index = int(processRandom().generate() % quint32(mirrorUrls.size()));
    return mirrorUrls.takeAt(index);
}

// The change log is unsigned mirror content: only its first MaxBodyBytes are kept, so an endless
// body costs no more memory than that.
void ChangeLogViewer::onRequestReadyRead() {
    if (!reply)
        return;
    body += reply->read(MaxBodyBytes - body.size());
    if (body.size() >= MaxBodyBytes)
        endRequest(true);
}

void ChangeLogViewer::onRequestFinished() {
    if (!reply)
        return;
    // Redirects are not followed, so a 3xx answer would otherwise show its own page.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool ok = reply->error() == QNetworkReply::NoError && (status < 300 || status >= 400);
    if (ok)
        body += reply->read(MaxBodyBytes - body.size());
    endRequest(ok);
}

void ChangeLogViewer::endRequest(bool ok) {
    QNetworkReply* done = reply;
    reply = nullptr;
    disconnect(done, nullptr, this, nullptr);
    done->abort();
    done->deleteLater();
    if (ok) {
        const QString text = QString::fromUtf8(body);
        if (!text.contains(QLatin1String("document has moved"))) {
            load(text);
            return;
        }
    }
    requestRemote(QString());
}

void ChangeLogViewer::onRequestTimeout() {
    // abort() finishes the reply at once; onRequestFinished() then moves on to the next address.
    if (reply)
        reply->abort();
}

void ChangeLogViewer::load(const QString& text) {
    // Plain text: markup from a mirror is shown, never rendered.
    changeLogTextEdit->setPlainText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(changeLogTextEdit->font());
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const int wanted = widest > 0 ? widest + LineMargin : DefaultWidth;

    const QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (available.isValid())
        resize(qMin(wanted, available.width()), qMin(available.height(), DefaultHeight));
    else
        resize(wanted, DefaultHeight);
}
