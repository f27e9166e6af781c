// Shows the editor with one movie open, as a user would see it after choosing
// that movie, and saves a picture of the window. docs/make-screenshot.sh runs it.

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <iostream>

#include "window/controller.hpp"

namespace {

// The file chooser always answers with the one movie given on the command line.
class Showcase : public lanemark::Controller {
public:
    explicit Showcase(std::filesystem::path movie) : path_(std::move(movie)) {}

    void alert(const QString& text) override { failure = text; }
    QString failure;

protected:
    std::optional<std::filesystem::path> chooseMovie() override { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    if (argc != 3) {
        std::cerr << "usage: lanemark_screenshot MOVIE.mov OUTPUT.png\n";
        return 2;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(lanemark::applicationName));
    Showcase showcase{lanemark::pathFrom(QString::fromLocal8Bit(argv[1]))};
    showcase.applicationDidFinishLaunching();
    showcase.openMovie();
    if (!showcase.failure.isEmpty()) {
        std::cerr << showcase.failure.toStdString() << '\n';
        return 1;
    }
    bool written = false;
    // Lets the window be mapped and painted once before it is captured.
    QTimer::singleShot(500ms, [&] {
        written = showcase.window->grab().save(QString::fromLocal8Bit(argv[2]), "PNG");
        QApplication::quit();
    });
    QApplication::exec();
    if (!written) std::cerr << "Could not write " << argv[2] << '\n';
    return written ? 0 : 1;
}
