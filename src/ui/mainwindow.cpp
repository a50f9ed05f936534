#include "ui/mainwindow.h"

#include "config/configuration.h"
#include "config/processtools.h"
#include "config/singleinstancechecker.h"
#include "engine/updateengine.h"
#include "ui/changelogviewer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

namespace {
// Site data of whoever ships the client, compiled in from the CMake cache.
const char* const WebsiteUrl = QUILLON_WEBSITE_URL;
const char* const CopyrightHolder = QUILLON_COPYRIGHT;

constexpr int AutoStartClientDelayMs = 1000;
// Below what the eye notices in a scrolling log.
constexpr int RefreshDelayMs = 50;
constexpr int LinesPerParagraph = 64;

QString smallPrint(const QString& text) {
    return QStringLiteral("<span style=\"font-size:small;\">") + text + QStringLiteral("</span>");
}
} // namespace

MainWindow::MainWindow(Configuration& config)
    : QWidget(nullptr)
    , configuration(config)
    , engine(new UpdateEngine(config, this)) {
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);
    // Direct: the engine needs the answer before its handler returns.
    connect(engine, &UpdateEngine::proxyCredentialsNeeded, this,
            &MainWindow::onProxyCredentialsNeeded, Qt::DirectConnection);

    setupUi(this);

    // Queued, so that the form's toggled() has already shown the log when we scroll it.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);

    const QString website = QString::fromUtf8(WebsiteUrl);
    quillonLabel->setUrl(website);
    copyrightLabel->setText(
        smallPrint(QString::fromUtf8(CopyrightHolder).toHtmlEscaped() +
                   QStringLiteral(" &middot; <a href=\"%1\">%2</a>")
                       .arg(website.toHtmlEscaped(), QUrl(website).host().toHtmlEscaped())));

    outputTextEdit->hide();
    onDownloadProgress(0, 0, 0, false);

    auto* instanceChecker = new SingleInstanceChecker(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);

    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    // Direct: the query waits for the answer before it goes on.
    connect(&configuration, &Configuration::versionQueryFailed, this,
            &MainWindow::onVersionQueryFailed, Qt::DirectConnection);

    engine->getBanner();
}

void MainWindow::setUIToConfigSpecs() {
    QString channel;
    switch (configuration.updateChannel) {
    case ChannelStable:
        channel = tr("Stable");
        break;
    case ChannelBeta:
        channel = tr("Beta");
        break;
    case ChannelAlpha:
        channel = tr("Alpha");
        break;
    }

    QString text;
    if (!configuration.clientVersionName.isEmpty())
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">") +
               tr("Update to Quillon %1").arg(configuration.clientVersionName) +
               QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:8px\">") +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channel) +
            QStringLiteral("</div>");
    versionLabel->setText(text);

    if (configuration.noUserMode == 1)
        startButton->setEnabled(false);
}

void MainWindow::setNews() {
    newsBanner->setNews(configuration.newsText);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closing)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"),
        tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;
    // The run may have ended while the question was open; then the window simply closes.
    if (!engine->busy()) {
        close();
        return;
    }
    closing = true;
    engine->cancelUpdate();
}

void MainWindow::onVersionQueryFailed(bool* retry) {
    // Without a parent: the window is not shown yet.
    QMessageBox box(QMessageBox::Critical, tr("Error"),
                    tr("Failed to query latest client\nversion from update server."),
                    QMessageBox::Retry | QMessageBox::Abort);
    box.setDefaultButton(static_cast<QPushButton*>(nullptr));
    box.setEscapeButton(QMessageBox::Abort);
    *retry = box.exec() == QMessageBox::Retry;
}

void MainWindow::onFatalConfigError(const QString& errorMessage) {
    fatalShown = true;
    startButton->setEnabled(false);
    QMessageBox::critical(nullptr, tr("Error"), errorMessage, QMessageBox::Ok);
    endProgram(1);
}

void MainWindow::onFatalError(const QString& errorMessage) {
    // Set before the box: its event loop may run the unattended start meanwhile.
    fatalShown = true;
    startButton->setEnabled(false);
    QMessageBox::critical(this, tr("Error"), errorMessage, QMessageBox::Ok);
    endProgram(2);
}

void MainWindow::endProgram(int exitCode) {
    if (engine->state == UpdateEngine::EngineUpdating) {
        pendingExitCode = exitCode;
        engine->cancelUpdate();
        return;
    }
    // Codes other than 0 promise that the installation was left as it was.
    QCoreApplication::exit(engine->installationChanged ? 0 : exitCode);
}

void MainWindow::onError(const QString& errorMessage) {
    onAppendText(errorMessage);
    refresh();
    showLines();
    QMessageBox::critical(this, tr("Error"), errorMessage, QMessageBox::Ok);
}

void MainWindow::onAutoStartUpdate() {
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked() {
    if (fatalShown)
        return;
    if (updateDone) {
        ProcessTools::startQlnClient();
        close();
        return;
    }
    if (engine->busy())
        return;
    // On failure the engine has already said why; the button stays as it is.
    if (!engine->initialize())
        return;
    startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::onAppendText(const QString& text) {
    pendingLines.append(text);
    scheduleRefresh();
}

void MainWindow::onProgressUpdate(qreal doneFrac) {
    pendingProgress = int(doneFrac * 1000);
    scheduleRefresh();
}

void MainWindow::scheduleRefresh() {
    // A run sends several lines and progress steps per file: laying out and painting each one
    // cost as much as the update itself. What arrives within a short while is shown at once.
    if (refreshPending)
        return;
    refreshPending = true;
    QTimer::singleShot(RefreshDelayMs, this, &MainWindow::refresh);
}

void MainWindow::refresh() {
    refreshPending = false;
    // While nobody can see them, lines are only kept, in UTF-8: the document lays out every line
    // it takes and holds it at many times the size, which a run of many files multiplies.
    for (const QString& line : std::as_const(pendingLines)) {
        unshownLines += line.toUtf8();
        unshownLines += '\n';
    }
    pendingLines.clear();
    if (outputTextEdit->isVisible())
        showLines();
    if (pendingProgress >= 0) {
        totalProgressBar->setValue(pendingProgress);
        pendingProgress = -1;
    }
}

void MainWindow::showLines() {
    if (unshownLines.isEmpty())
        return;
    // Paragraphs of a few dozen lines kept apart by line separators: each paragraph costs the
    // document about a kilobyte, and an insertion that spans several is laid out only where it
    // is seen.
    QString text = QString::fromUtf8(unshownLines.chopped(1));
    unshownLines.clear();
    int lines = 0;
    for (QChar& c : text) {
        if (c == QLatin1Char('\n') && ++lines % LinesPerParagraph != 0)
            c = QChar::LineSeparator;
    }
    outputTextEdit->appendPlainText(text);
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading) {
    downloadSizeLabel->setVisible(downloading);
    downloadSpeedLabel->setVisible(downloading);
    if (!downloading)
        return;
    downloadSizeLabel->setText(
        smallPrint(tr("%1 KB / %2 KB").arg(downloadDone / 1000).arg(downloadTotal / 1000)));
    downloadSpeedLabel->setText(smallPrint(tr("%1 KB/s").arg(speed / 1000)));
}

void MainWindow::onUpdateFinished() {
    // The loop may end before its next turn.
    refresh();
    updateDone = true;
    // The program was asked to end during the run; the run was already past undoing.
    if (closing || pendingExitCode >= 0) {
        QCoreApplication::exit(0);
        return;
    }
    if (configuration.noUserMode == 1 && !ChangeLogViewer::instance()) {
        QTimer::singleShot(AutoStartClientDelayMs, this, &MainWindow::on_startButton_clicked);
        return;
    }
    // The window stays: its log is complete from here on.
    showLines();
    startButton->setText(tr("Start Quillon"));
    // A disabled button cannot take the focus, so enable it first.
    startButton->setEnabled(true);
    startButton->setFocus();
}

void MainWindow::onUpdateCanceled() {
    refresh();
    showLines();
    if (pendingExitCode >= 0) {
        endProgram(pendingExitCode);
        return;
    }
    if (closing) {
        QCoreApplication::quit();
        return;
    }
    updateDone = false;
    engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    onProgressUpdate(0);
    refresh();
    showLines();
    QMessageBox::critical(this, tr("Update"),
                          tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(const QString& message) {
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(const QByteArray& bannerImage, const QString& clickUrl) {
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    banner->setUrl(clickUrl);
    banner->setPixmap(pixmap);
}

void MainWindow::onDetailsPressed() {
    refresh();
    if (outputTextEdit->isVisible())
        outputTextEdit->verticalScrollBar()->setValue(
            outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::on_changelogButton_clicked() {
    ChangeLogViewer::showRemoteChangeLogDialog(this, configuration,
                                               QString::number(configuration.clientVersion));
}

void MainWindow::onProxyCredentialsNeeded(const QString& proxyName, QString* user,
                                          QString* password) {
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("proxyDialog"));
    dialog.setWindowTitle(tr("Proxy login"));
    auto* form = new QFormLayout(&dialog);
    form->addRow(new QLabel(tr("The proxy %1 asks for a user name and password.").arg(proxyName)));
    auto* userEdit = new QLineEdit(&dialog);
    userEdit->setObjectName(QStringLiteral("proxyUserEdit"));
    form->addRow(tr("User name:"), userEdit);
    auto* passwordEdit = new QLineEdit(&dialog);
    passwordEdit->setObjectName(QStringLiteral("proxyPasswordEdit"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    form->addRow(tr("Password:"), passwordEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    *user = userEdit->text();
    *password = passwordEdit->text();
}
