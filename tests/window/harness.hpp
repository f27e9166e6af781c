#pragma once

// Drives the editor without a person: the file chooser answers from a queue
// and alerts are recorded instead of shown.

#include <QComboBox>
#include <QLabel>
#include <QList>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/builder.hpp"
#include "window/controller.hpp"

namespace lanemark::testing {

class ScriptedController : public Controller {
public:
    // What the chooser answers, one entry per call; nothing left means the user cancelled.
    std::deque<std::optional<std::filesystem::path>> answers;
    QStringList alerts;
    int chooserCalls = 0;

    void alert(const QString& text) override { alerts << text; }
    void open(const std::optional<std::filesystem::path>& answer);

protected:
    std::optional<std::filesystem::path> chooseMovie() override;
};

// The base of the window suites: each test gets a fresh folder and a launched
// window, and the window goes before the folder.
class WindowTest : public QObject {
    Q_OBJECT

protected:
    std::unique_ptr<build::TempDir> dir;
    std::unique_ptr<ScriptedController> controller;

private slots:
    void init();
    void cleanup();
};

// Points HOME and the XDG folders at a throwaway home, before Qt starts, so that whatever the
// window leaves behind is seen there instead of landing in the tester's home.
void useThrowawayHome();
const std::filesystem::path& home();

// Drags `files` over the middle of `target` and lets go there, as a person would;
// tells whether the window took them.
bool drop(QWidget* target, const QStringList& files);

// Turns the mouse wheel over the middle of `target` as a person does; negative notches scroll down.
void turnWheel(QWidget* target, int notches);

// Lets the window handle what a change set off, as it does before a person sees the change.
void settle();

// The texts of the labels a person can see in the track list.
QStringList listTexts(const Controller& controller);

// A movie at `dir / name` with one video track and one mono PCM track per label.
std::filesystem::path writeMovie(const build::TempDir& dir, const std::string& name,
                                 const std::vector<std::uint32_t>& labels);

// A movie at `dir / name` with one video track and one PCM track per sample entry.
std::filesystem::path writeTracks(const build::TempDir& dir, const std::string& name,
                                  const std::vector<build::Buffer>& entries);

// The catalogue's names, in menu order.
QStringList catalogueNames();

QStringList rowNames(const Controller& controller);
QStringList selections(const Controller& controller);
QStringList items(const QComboBox* menu);
std::size_t fileCount(const std::filesystem::path& dir);

// Everything a user can see of the track list and its surroundings, for "nothing changed" checks.
struct WindowState {
    QList<QComboBox*> menus;
    QStringList rows;
    std::vector<QStringList> items;
    std::vector<int> selected;
    QString status;
    bool saveEnabled = false;
    std::optional<std::filesystem::path> url;
    std::vector<std::optional<std::uint32_t>> labels;

    bool operator==(const WindowState&) const = default;
};
WindowState snapshot(const Controller& controller);
char* toString(const WindowState& state);

// Runs `act` on the first modal widget to appear while the caller runs a modal loop;
// `seen` tells afterwards whether one appeared at all. Any modal widget after that one
// is closed and listed in `unexpected`, so a surprise dialog fails a test instead of hanging it.
class WhenModal {
public:
    explicit WhenModal(std::function<void(QWidget*)> act);
    bool seen() const { return seen_; }
    QStringList unexpected;

private:
    std::function<void(QWidget*)> act_;
    QTimer poll_;
    bool seen_ = false;
};

// Each group of tests, run by main with the QTest arguments that follow the group's name.
int runLaunch(int argc, char** argv);
int runOpening(int argc, char** argv);
int runPreset(int argc, char** argv);
int runSaving(int argc, char** argv);
int runDialogs(int argc, char** argv);

}  // namespace lanemark::testing
