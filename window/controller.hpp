#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <filesystem>
#include <memory>
#include <optional>

#include "metadata/movie.hpp"

class QComboBox;
class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace lanemark {

inline constexpr const char* applicationName = "Lanemark";

// The editor: one window listing the PCM audio channels of one movie, a menu
// per channel, and a button that writes the chosen labels back into the file.
//
// Every operation runs on the GUI thread and finishes before it returns,
// so the window never shows a half-applied state.
class Controller {
public:
    Controller();
    virtual ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Builds, places and shows the window.
    void applicationDidFinishLaunching();

    // Asks for a movie with the file chooser, then opens it as `openMovieAt` does.
    void openMovie();
    // Opens the movie at `path` and shows it; a movie that cannot be opened is reported and the window kept as it was.
    void openMovieAt(const std::filesystem::path& path);
    void render();
    void applyPreset();
    void saveMovie();

    // Tells the user something went wrong and waits for them to acknowledge it.
    virtual void alert(const QString& text);

    std::unique_ptr<QWidget> window;
    std::optional<Movie> movie;
    QList<QComboBox*> menus;
    QVBoxLayout* stack = nullptr;
    QLabel* status = nullptr;
    QPushButton* save = nullptr;

protected:
    // Asks the user for one existing movie; nothing when they cancel.
    virtual std::optional<std::filesystem::path> chooseMovie();
};

// Where a window of `size` goes so it sits centred in `available`; a window
// too big for the area keeps its top-left corner on screen instead.
QPoint centredOrigin(QSize size, QRect available);

// Paths cross between Qt and the core as the file system's own bytes.
QString displayName(const std::filesystem::path& path);
std::filesystem::path pathFrom(const QString& text);

}  // namespace lanemark
