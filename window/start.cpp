#include "window/start.hpp"

#include <QApplication>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#include "window/controller.hpp"

namespace lanemark {
namespace {

bool starting = true;

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

bool displayAvailable() {
#if defined(__APPLE__) || defined(_WIN32)
    return true;
#else
    return isSet("QT_QPA_PLATFORM") || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
#endif
}

void reportNoDisplay() {
    std::fputs(noDisplayMessage, stderr);
    std::fputc('\n', stderr);
}

// The window speaks only through its own views. Qt's log goes nowhere, except
// that a platform which cannot start ends the program with the one-line message
// rather than Qt's abort.
void discard(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type == QtFatalMsg && starting) {
        reportNoDisplay();
        std::_Exit(1);
    }
}

}  // namespace

void launch(Controller& controller, const std::optional<std::filesystem::path>& movie) {
    controller.applicationDidFinishLaunching();
    if (movie) controller.openMovieAt(*movie);
}

int startWindow(char* program, const char* movie) {
    if (!displayAvailable()) {
        reportNoDisplay();
        return 1;
    }
    qInstallMessageHandler(discard);
    // Qt obeys options such as -platform, -style or -qwindowtitle among its arguments;
    // the program's arguments are not the toolkit's to read, so it gets only the name.
    int argc = 1;
    char* argv[] = {program, nullptr};
    QApplication application(argc, argv);
    starting = false;
    QApplication::setApplicationName(QString::fromUtf8(applicationName));
    // Lets the desktop match the window to the installed entry, and so to its icon.
    QApplication::setDesktopFileName(QStringLiteral("lanemark"));
    Controller controller;
    launch(controller, movie ? std::optional<std::filesystem::path>(movie) : std::nullopt);
    QApplication::exec();
    return 0;
}

}  // namespace lanemark
