#include "window/controller.hpp"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWidget>

#include <algorithm>
#include <exception>

#include "metadata/labels.hpp"

namespace lanemark {
namespace {

constexpr int windowSide = 640;
constexpr int columnMargin = 24;
constexpr int columnSpacing = 14;
constexpr int buttonSpacing = 12;
constexpr int rowSpacing = 12;
constexpr int listSpacing = 8;
constexpr int listMinimumHeight = 300;
constexpr int trackNameWidth = 140;
constexpr int headingPointSize = 22;

const QString welcome = QStringLiteral("Open a QuickTime movie with PCM audio tracks.");
const QString presetRefused = QStringLiteral("The delivery preset requires twelve audio channels.");
const QString unlabelledRefused = QStringLiteral("Choose a label for every channel before saving.");
const QString emptyList = QStringLiteral("No movie open. Choose Open Movie\u2026 or drop a movie here.");
const QString saved = QStringLiteral("Saved and verified. Audio and video data were not rewritten.");
const QString promise = QStringLiteral(
    "Saves channel metadata in place. Audio and video are not re-encoded or moved. A small metadata recovery backup "
    "is saved beside the movie. Supports PCM audio tracks.");

QLabel* makeHeading() {
    auto* heading = new QLabel(QStringLiteral("QuickTime Audio Lanemark"));
    QFont font = heading->font();
    font.setPointSize(headingPointSize);
    font.setBold(true);
    heading->setFont(font);
    return heading;
}

QLabel* makeWrappingLabel(const QString& text, QLabel* label = new QLabel) {
    label->setText(text);
    // File names and error messages are shown as written, even when they look like markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    // A long file name cannot wrap; without this it would widen the whole window past the screen.
    // The policy is changed in place so the height-for-width that wrapping set stays on.
    QSizePolicy policy = label->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Ignored);
    label->setSizePolicy(policy);
    return label;
}

QLabel* makeSecondaryLabel(const QString& text) {
    QLabel* label = makeWrappingLabel(text);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

// The platform's key for a standard command, or the usual one where the platform has none
// (plain X11 themes differ).
QKeySequence standardKey(QKeySequence::StandardKey command, QKeyCombination usual) {
    const QKeySequence key(command);
    return key.isEmpty() ? QKeySequence(usual) : key;
}

// The line under the heading: the open file's name and what the movie holds, the name
// elided in the middle when the line is too narrow for it and whole in its tooltip; or a message.
class StatusLine : public QLabel {
public:
    void showFile(const QString& name, const QString& holds) {
        name_ = name;
        holds_ = holds;
        setToolTip(name);
        fit();
    }
    void showMessage(const QString& text) {
        name_.clear();
        setToolTip({});
        setText(text);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        if (!name_.isEmpty()) fit();
    }

private:
    // The name is isolated (first-strong isolate ... pop directional isolate): a right-to-left
    // name, or one holding direction controls, would otherwise reorder the rest of the line.
    // Joined rather than formatted: a file name may itself contain "%1".
    void fit() {
        const QString open = QStringLiteral("\u2068"), rest = QStringLiteral("\u2069 \u2014 ") + holds_;
        const QFontMetrics metrics(font());
        const int room = contentsRect().width() - metrics.horizontalAdvance(open + rest);
        setText(open + metrics.elidedText(name_, Qt::ElideMiddle, std::max(room, 0)) + rest);
    }

    QString name_, holds_;
};

QHBoxLayout* makeButtonRow(Controller& controller, QWidget* context) {
    auto* row = new QHBoxLayout;
    row->setSpacing(buttonSpacing);
    auto* open = new QPushButton(QStringLiteral("Open Movie\u2026"));
    open->setShortcut(standardKey(QKeySequence::Open, Qt::CTRL | Qt::Key_O));
    auto* preset = new QPushButton(QStringLiteral("Apply 12-channel delivery preset"));
    QObject::connect(open, &QPushButton::clicked, context, [&controller] { controller.openMovie(); });
    QObject::connect(preset, &QPushButton::clicked, context, [&controller] { controller.applyPreset(); });
    row->addWidget(open);
    row->addWidget(preset);
    row->addStretch();
    return row;
}

// The scrolling list of tracks; `stack` receives the layout that holds its rows.
QScrollArea* makeTrackList(QVBoxLayout*& stack) {
    auto* content = new QWidget;
    stack = new QVBoxLayout(content);
    stack->setSpacing(listSpacing);
    // Top only: aligned sideways as well, the rows would get only the width they hint, and the
    // empty-list line, which wraps to whatever width it gets, hints none and would not show.
    stack->setAlignment(Qt::AlignTop);
    // Stands where the rows will be until the first movie opens; the first render removes it with the rows.
    stack->addWidget(makeSecondaryLabel(emptyList));
    auto* list = new QScrollArea;
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setWidgetResizable(true);
    list->setMinimumHeight(listMinimumHeight);
    // The pop-ups inside are the keyboard's stops; the list scrolls to whichever one has the focus.
    list->setFocusPolicy(Qt::NoFocus);
    list->setWidget(content);
    return list;
}

QPushButton* makeSaveButton(Controller& controller, QWidget* context) {
    auto* save = new QPushButton(QStringLiteral("Save labels in this file"));
    QObject::connect(save, &QPushButton::clicked, context, [&controller] { controller.saveMovie(); });
    save->setShortcut(standardKey(QKeySequence::Save, Qt::CTRL | Qt::Key_S));
    save->setEnabled(false);
    return save;
}

QMenuBar* makeMenuBar(QWidget* window) {
    auto* bar = new QMenuBar(window);
    QMenu* menu = bar->addMenu(QString::fromUtf8(applicationName));
    QAction* quit = menu->addAction(QStringLiteral("Quit %1").arg(QString::fromUtf8(applicationName)));
    // Platforms without a standard quit key (plain X11 themes differ, Windows has none) still get the usual one.
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (keys.isEmpty()) keys << QKeySequence(Qt::CTRL | Qt::Key_Q);
    quit->setShortcuts(keys);
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, qApp, &QApplication::quit);
    return bar;
}

// What a screen reader says of a label pop-up: its row's name, then its label. Qt's own pop-up
// on X11 and Wayland gives its label as its name, so twelve rows all sounded like "Left".
class LabelMenuAccessible : public QAccessibleWidget {
public:
    explicit LabelMenuAccessible(QComboBox* menu) : QAccessibleWidget(menu, QAccessible::ComboBox) {}

    QString text(QAccessible::Text kind) const override {
        return kind == QAccessible::Value ? menu()->currentText() : QAccessibleWidget::text(kind);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(menu()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child && child->object() == menu()->view() ? 0 : -1;
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString& name) override {
        if (actionNames().contains(name)) menu()->showPopup();
    }

private:
    QComboBox* menu() const { return static_cast<QComboBox*>(widget()); }
};

// A label pop-up that the mouse wheel passes over: the wheel scrolls the track list around it,
// so a person scrolling the list never changes a label that happens to be under the pointer.
class LabelMenu : public QComboBox {
public:
    LabelMenu() {
        setFocusPolicy(Qt::StrongFocus);  // nor does the wheel take the keyboard focus
        // Registered before anything asks for it, so it is the one Qt gives out; Qt deletes it with the pop-up.
        QAccessible::registerAccessibleInterface(new LabelMenuAccessible(this));
    }

protected:
    // Ignored, a wheel event goes on to the parents, and so to the list.
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }
};

QComboBox* makeLabelMenu(ChannelLabel label) {
    auto* menu = new LabelMenu;
    for (const Label& choice : choices) menu->addItem(QString::fromStdString(choice.name));
    if (!label) {
        // A channel the file leaves unlabelled; the movie cannot be saved until it gets a label.
        menu->addItem(QStringLiteral("No Label"));
        menu->setCurrentIndex(menu->count() - 1);
    } else if (const auto index = choiceIndex(*label)) {
        menu->setCurrentIndex(int(*index));
    } else {
        // Keeps a label the catalogue does not name, so saving leaves that channel as it was.
        menu->addItem(QStringLiteral("Discrete / Other (%1)").arg(*label));
        menu->setCurrentIndex(menu->count() - 1);
    }
    return menu;
}

// The name of each channel's row, in file order: a one-channel track is named as the track,
// the channels of a larger one each by its number in the track.
QStringList channelNames(const std::vector<PcmTrack>& tracks) {
    QStringList names;
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        const QString track = QStringLiteral("Audio track %1").arg(t + 1);
        const std::uint32_t channels = tracks[t].sound.channels;
        for (std::uint32_t c = 1; c <= channels; ++c)
            names << (channels == 1 ? track : track + QStringLiteral(", channel %1").arg(c));
    }
    return names;
}

QHBoxLayout* makeTrackRow(QLabel* name, QComboBox* menu) {
    auto* row = new QHBoxLayout;
    row->setSpacing(rowSpacing);
    name->setBuddy(menu);
    menu->setAccessibleName(name->text());
    row->addWidget(name);
    row->addWidget(menu);
    row->addStretch();
    return row;
}

// The names stand in one column, as wide as the widest of them ("Audio track 12, channel 12" is
// wider than the usual width), so that no name is cut off and the menus line up beside them.
void alignNames(const QList<QLabel*>& names) {
    int width = trackNameWidth;
    for (const QLabel* name : names) width = std::max(width, name->sizeHint().width());
    for (QLabel* name : names) name->setFixedWidth(width);
}

// Deletes everything `layout` holds, nested layouts and their widgets included.
void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QLayout* inner = item->layout()) clear(inner);
        delete item->widget();
        delete item;
    }
}

// What the status line says the movie holds after its name.
QString holdings(const Movie& movie) {
    const auto& tracks = movie.tracks();
    const auto channels = movie.labels().size();
    const bool allMono = std::ranges::all_of(tracks, [](const PcmTrack& track) { return track.sound.channels == 1; });
    return allMono ? QStringLiteral("%1 mono PCM tracks").arg(channels)
                   : QStringLiteral("%1 PCM channels in %2 tracks").arg(channels).arg(tracks.size());
}

// The window makes its status line a StatusLine and nothing else.
StatusLine* statusLine(QLabel* status) { return static_cast<StatusLine*>(status); }

// The label each menu stands for; an entry outside the catalogue gives back the channel's label as opened.
std::vector<ChannelLabel> chosenLabels(const QList<QComboBox*>& menus, const std::vector<ChannelLabel>& opened) {
    std::vector<ChannelLabel> labels;
    labels.reserve(opened.size());
    for (qsizetype i = 0; i < menus.size(); ++i) {
        const int selected = menus[i]->currentIndex();
        const bool named = selected >= 0 && std::size_t(selected) < choices.size();
        labels.push_back(named ? choices[std::size_t(selected)].value : opened.at(std::size_t(i)));
    }
    return labels;
}

// The one local file a drag carries, if that is all it carries.
std::optional<std::filesystem::path> droppedFile(const QMimeData* data) {
    const QList<QUrl> urls = data ? data->urls() : QList<QUrl>();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return std::nullopt;
    return pathFrom(urls.front().toLocalFile());
}

// What the window does beyond its views: it opens a movie dropped on it, and it keeps
// its views from overlapping.
class WindowEvents : public QObject {
public:
    WindowEvents(Controller& controller, QWidget* window) : QObject(window), controller_(controller) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::DragEnter:
            case QEvent::DragMove: {
                auto* drag = static_cast<QDropEvent*>(event);
                if (droppedFile(drag->mimeData())) drag->acceptProposedAction();
                return true;
            }
            case QEvent::Drop: {
                auto* drop = static_cast<QDropEvent*>(event);
                const auto path = droppedFile(drop->mimeData());
                if (!path) return true;
                drop->acceptProposedAction();
                controller_.openMovieAt(*path);
                return true;
            }
            case QEvent::LayoutRequest:
                fitMinimumHeight(static_cast<QWidget*>(watched));
                return false;
            default:
                return false;
        }
    }

private:
    // A top-level window's minimum height leaves out how much the wrapping labels need at
    // that width, so at its smallest the note would slide over the track list. The labels
    // need the most at the narrowest width, so the window is kept at least that tall.
    static void fitMinimumHeight(QWidget* window) {
        QLayout* column = window->layout();
        const int needed = column->totalMinimumHeightForWidth(column->totalMinimumSize().width());
        if (needed > 0 && needed != window->minimumHeight()) window->setMinimumHeight(needed);
    }

    Controller& controller_;
};

// Qt's file chooser, used where the desktop has none of its own, writes its history to the
// user's Qt settings whenever it closes, even when cancelled. The program keeps no settings, so
// the user's settings are pointed below /dev/null, where no file can ever be made: nothing is
// read from there or written. The desktop's own chooser keeps whatever the desktop keeps.
void forgetChooserHistory() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
}

}  // namespace

QPoint centredOrigin(QSize size, QRect available) {
    const int x = available.left() + (available.width() - size.width()) / 2;
    const int y = available.top() + (available.height() - size.height()) / 2;
    return {std::max(x, available.left()), std::max(y, available.top())};
}

QString displayName(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

std::filesystem::path pathFrom(const QString& text) {
    return std::filesystem::path(QFile::encodeName(text).toStdString());
}

Controller::Controller() = default;
Controller::~Controller() = default;

void Controller::applicationDidFinishLaunching() {
    window = std::make_unique<QWidget>();
    window->setWindowTitle(QString::fromUtf8(applicationName));

    auto* column = new QVBoxLayout(window.get());
    column->setContentsMargins(columnMargin, columnMargin, columnMargin, columnMargin);
    column->setSpacing(columnSpacing);
    column->setMenuBar(makeMenuBar(window.get()));

    status = makeWrappingLabel(welcome, new StatusLine);
    save = makeSaveButton(*this, window.get());
    column->addWidget(makeHeading(), 0, Qt::AlignLeading);
    column->addWidget(status);
    column->addLayout(makeButtonRow(*this, window.get()));
    column->addWidget(makeTrackList(stack));
    column->addWidget(makeSecondaryLabel(promise));
    column->addWidget(save, 0, Qt::AlignLeading);

    window->setAcceptDrops(true);
    window->installEventFilter(new WindowEvents(*this, window.get()));
    window->resize(windowSide, windowSide);
    // A bare X server has no window manager to place the window, so it is placed here.
    window->move(centredOrigin(window->size(), window->screen()->availableGeometry()));
    window->show();
    window->raise();
    window->activateWindow();
}

std::optional<std::filesystem::path> Controller::chooseMovie() {
    forgetChooserHistory();
    QFileDialog dialog(window.get(), QStringLiteral("Open Movie"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("QuickTime movies (*.mov *.qt)"), QStringLiteral("All files (*)")});
    if (movie) dialog.setDirectory(displayName(movie->url().parent_path()));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return pathFrom(files.front());
}

void Controller::openMovie() {
    const auto path = chooseMovie();
    if (path && !path->empty()) openMovieAt(*path);
}

void Controller::openMovieAt(const std::filesystem::path& path) {
    try {
        Movie opened(path);
        movie = std::move(opened);
    } catch (const std::exception& error) {
        alert(QString::fromStdString(error.what()));
        return;
    }
    render();
}

void Controller::render() {
    clear(stack);
    menus.clear();
    const QStringList channels = channelNames(movie->tracks());
    QList<QLabel*> names;
    for (std::size_t i = 0; i < movie->labels().size(); ++i) {
        QComboBox* menu = makeLabelMenu(movie->labels()[i]);
        auto* name = new QLabel(channels.value(qsizetype(i)));
        stack->addLayout(makeTrackRow(name, menu));
        names.append(name);
        menus.append(menu);
    }
    alignNames(names);
    // New rows join the end of the window's focus chain, after Save; Save goes back after the last of them.
    if (!menus.isEmpty()) QWidget::setTabOrder(menus.back(), save);
    statusLine(status)->showFile(displayName(movie->url().filename()), holdings(*movie));
    save->setEnabled(true);
}

void Controller::applyPreset() {
    if (std::size_t(menus.size()) != preset.size()) {
        alert(presetRefused);
        return;
    }
    for (std::size_t i = 0; i < preset.size(); ++i)
        if (const auto index = choiceIndex(preset[i])) menus[qsizetype(i)]->setCurrentIndex(int(*index));
}

void Controller::saveMovie() {
    if (!movie) return;
    const auto chosen = chosenLabels(menus, movie->labels());
    if (std::ranges::count(chosen, ChannelLabel()) > 0) {
        alert(unlabelledRefused);
        return;
    }
    std::vector<std::uint32_t> labels;
    for (const auto& label : chosen) labels.push_back(*label);
    try {
        movie->save(labels);
        // What the window shows next comes from the file as it now reads, not from what was asked for.
        Movie reopened(movie->url());
        movie = std::move(reopened);
    } catch (const std::exception& error) {
        alert(QString::fromStdString(error.what()));
        return;
    }
    render();
    statusLine(status)->showMessage(saved);
    save->setEnabled(false);
}

void Controller::alert(const QString& text) {
    QMessageBox box(window.get());
    box.setWindowTitle(QString::fromUtf8(applicationName));
    box.setIcon(QMessageBox::NoIcon);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace lanemark
