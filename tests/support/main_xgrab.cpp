// xgrab: writes a PNG of the whole X screen given by DISPLAY; run with QT_QPA_PLATFORM=xcb.
// Tests use it to take pictures of the real program's window under Xvfb.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 || args.at(1) == QLatin1String("--help")) {
        QTextStream(stderr) << "Usage: xgrab OUT.png   (grabs the screen of $DISPLAY)\n";
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 1;
    // Window id 0 is the root window: everything on the screen.
    QImage shot = screen->grabWindow(0).toImage();
    if (shot.isNull())
        return 1;
    // Xvfb's background is black and no window manager draws frames: keep what the windows
    // cover.
    QRect used;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if ((shot.pixel(x, y) & 0xffffff) != 0)
                used |= QRect(x, y, 1, 1);
    if (!used.isEmpty())
        shot = shot.copy(used);
    return shot.save(args.at(1), "PNG") ? 0 : 1;
}
