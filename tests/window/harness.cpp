#include "tests/window/harness.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

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

std::filesystem::path writeMovie(const build::TempDir& dir, const std::string& name,
                                 const std::vector<std::uint32_t>& labels) {
    const auto path = dir / name;
    build::writeFile(path, build::movie(build::moovWithLabels(labels)));
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
