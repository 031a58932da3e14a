// Writes a picture of the screen of the X display, or of one part of it, to the PNG file named
// by its first argument. The console's screenshot script uses it: nothing else can see a
// virtual display.
// Usage: screen_grab FILE.png [WIDTHxHEIGHT+LEFT+TOP]

#include <QGuiApplication>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: screen_grab FILE.png [WIDTHxHEIGHT+LEFT+TOP]\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    // The whole screen unless a part is asked for; -1 sizes reach to the screen's edges.
    int left = 0, top = 0, width = -1, height = -1;
    if (argc == 3) {
        const QRegularExpressionMatch part =
            QRegularExpression(R"(^(\d+)x(\d+)\+(-?\d+)\+(-?\d+)$)").match(QString::fromLocal8Bit(argv[2]));
        if (!part.hasMatch()) {
            std::fprintf(stderr, "screen_grab: not a part of the screen: %s\n", argv[2]);
            return 2;
        }
        width = part.captured(1).toInt();
        height = part.captured(2).toInt();
        left = part.captured(3).toInt();
        top = part.captured(4).toInt();
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    // Window 0 is the root window: the screen with every window on it.
    const QPixmap picture = screen ? screen->grabWindow(0, left, top, width, height) : QPixmap();
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "screen_grab: cannot grab the screen into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
