#include "tests/window/harness.hpp"

#include <QApplication>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QSpontaneKeyEvent>
#include <QTest>
#include <QUrl>
#include <QWindow>

#include <cstdlib>

#include "metadata/labels.hpp"

namespace lanemark::testing {

void ScriptedController::open(const std::optional<std::filesystem::path>& answer) {
    answers.push_back(answer);
    openMovie();
}

std::optional<std::filesystem::path> ScriptedController::chooseMovie() {
    ++chooserCalls;
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
}

namespace {

std::unique_ptr<build::TempDir> homeDir, runtimeDir;

}  // namespace

void useThrowawayHome() {
    homeDir = std::make_unique<build::TempDir>();
    runtimeDir = std::make_unique<build::TempDir>();
    ::setenv("HOME", homeDir->path().c_str(), 1);
    // Unset, they all name folders inside HOME.
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) ::unsetenv(name);
    // A desktop session always has one; without it Qt would make one under /tmp.
    ::setenv("XDG_RUNTIME_DIR", runtimeDir->path().c_str(), 1);
}

const std::filesystem::path& home() { return homeDir->path(); }

bool drop(QWidget* target, const QStringList& files) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& file : files) urls << QUrl::fromLocalFile(file);
    data.setUrls(urls);
    QWindow* window = target->window()->windowHandle();
    const QPoint at = target->mapTo(target->window(), target->rect().center());
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    if (!enter.isAccepted()) {
        QDragLeaveEvent leave;  // as the platform ends a refused drag
        QCoreApplication::sendEvent(window, &leave);
        return false;
    }
    QDropEvent release(at, enter.dropAction(), &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &release);
    return release.isAccepted();
}

void turnWheel(QWidget* target, int notches) {
    const QPoint at = target->mapTo(target->window(), target->rect().center());
    QWheelEvent event(at, target->window()->mapToGlobal(at), {}, {0, 120 * notches}, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&event);  // only the system's own go on to the parents of one that ignores them
    QApplication::instance()->notify(target->window()->windowHandle(), &event);
}

void settle() {
    // A change to the rows sets off layouts in turn: the rows', then the list's around them.
    for (int round = 0; round < 3; ++round) QCoreApplication::processEvents();
}

QStringList listTexts(const Controller& controller) {
    settle();
    QStringList texts;
    const QWidget* list = controller.window->findChild<QScrollArea*>()->widget();
    for (const QLabel* label : list->findChildren<QLabel*>())
        if (label->isVisibleTo(controller.window.get())) texts << label->text();
    return texts;
}

std::filesystem::path writeMovie(const build::TempDir& dir, const std::string& name,
                                 const std::vector<std::uint32_t>& labels) {
    const auto path = dir / name;
    build::writeFile(path, build::movie(build::moovWithLabels(labels)));
    return path;
}

std::filesystem::path writeTracks(const build::TempDir& dir, const std::string& name,
                                  const std::vector<build::Buffer>& entries) {
    std::vector<build::Buffer> tracks{build::videoTrack()};
    for (const build::Buffer& entry : entries) tracks.push_back(build::soundTrack(entry));
    const auto path = dir / name;
    build::writeFile(path, build::movie(build::moov(tracks)));
    return path;
}

QStringList catalogueNames() {
    QStringList names;
    for (const Label& choice : choices) names << QString::fromStdString(choice.name);
    return names;
}

QStringList rowNames(const Controller& controller) {
    QStringList names;
    for (int i = 0; i < controller.stack->count(); ++i) {
        QLayout* row = controller.stack->itemAt(i)->layout();
        auto* name = row ? qobject_cast<QLabel*>(row->itemAt(0)->widget()) : nullptr;
        names << (name ? name->text() : QStringLiteral("<not a track row>"));
    }
    return names;
}

QStringList selections(const Controller& controller) {
    QStringList selected;
    for (const QComboBox* menu : controller.menus) selected << menu->currentText();
    return selected;
}

QStringList items(const QComboBox* menu) {
    QStringList texts;
    for (int i = 0; i < menu->count(); ++i) texts << menu->itemText(i);
    return texts;
}

std::size_t fileCount(const std::filesystem::path& dir) {
    return std::size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

WindowState snapshot(const Controller& controller) {
    WindowState state;
    state.menus = controller.menus;
    state.rows = rowNames(controller);
    for (const QComboBox* menu : controller.menus) {
        state.items.push_back(items(menu));
        state.selected.push_back(menu->currentIndex());
    }
    state.status = controller.status->text();
    state.saveEnabled = controller.save->isEnabled();
    if (controller.movie) {
        state.url = controller.movie->url();
        state.labels = controller.movie->labels();
    }
    return state;
}

char* toString(const WindowState& state) {
    QString text = QStringLiteral("rows %1, selected [").arg(state.rows.join(QStringLiteral(", ")));
    for (int index : state.selected) text += QString::number(index) + QLatin1Char(' ');
    text += QStringLiteral("], status \"%1\", save %2, movie %3")
                .arg(state.status, state.saveEnabled ? QStringLiteral("enabled") : QStringLiteral("disabled"),
                     state.url ? displayName(*state.url) : QStringLiteral("none"));
    return qstrdup(text.toUtf8().constData());
}

WhenModal::WhenModal(std::function<void(QWidget*)> act) : act_(std::move(act)) {
    poll_.setInterval(10);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (seen_) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            unexpected << QStringLiteral("%1 %2").arg(QString::fromUtf8(modal->metaObject()->className()),
                                                      box ? box->text() : modal->windowTitle());
            modal->close();
            return;
        }
        seen_ = true;
        act_(modal);
    });
    poll_.start();
}

void WindowTest::init() {
    dir = std::make_unique<build::TempDir>();
    controller = std::make_unique<ScriptedController>();
    controller->applicationDidFinishLaunching();
}

void WindowTest::cleanup() {
    controller.reset();
    dir.reset();
}

}  // namespace lanemark::testing
