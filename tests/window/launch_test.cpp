// The window as it first appears, before any movie is open, and how it goes away.

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

#include "tests/window/harness.hpp"

namespace lanemark::testing {
namespace {

QVBoxLayout* column(const Controller& controller) { return qobject_cast<QVBoxLayout*>(controller.window->layout()); }

QWidget* viewAt(const Controller& controller, int index) { return column(controller)->itemAt(index)->widget(); }

QHBoxLayout* buttonRow(const Controller& controller) {
    return qobject_cast<QHBoxLayout*>(column(controller)->itemAt(2)->layout());
}

QStringList buttonTexts(QLayout* row) {
    QStringList texts;
    for (int i = 0; i < row->count(); ++i)
        if (auto* button = qobject_cast<QPushButton*>(row->itemAt(i)->widget())) texts << button->text();
    return texts;
}

QMenuBar* menuBar(const Controller& controller) { return qobject_cast<QMenuBar*>(column(controller)->menuBar()); }

// Runs the event loop until the application quits, or fails the test after a few seconds.
int runUntilQuit() {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(99); });
    guard.start(5000);
    return QApplication::exec();
}

}  // namespace

class Launch : public QObject {
    Q_OBJECT

    std::unique_ptr<ScriptedController> controller;

private slots:
    void init() {
        controller = std::make_unique<ScriptedController>();
        controller->applicationDidFinishLaunching();
    }
    void cleanup() { controller.reset(); }

    void nothingIsBuiltBeforeLaunch() {
        const ScriptedController idle;
        QVERIFY(!idle.window);
        QVERIFY(!idle.movie);
        QVERIFY(idle.menus.isEmpty());
        QVERIFY(!idle.stack && !idle.status && !idle.save);
    }

    void titledAndSized() {
        QCOMPARE(controller->window->windowTitle(), QStringLiteral("Lanemark"));
        QCOMPARE(controller->window->size(), QSize(640, 640));
        QVERIFY(controller->window->isVisible());
        QVERIFY(controller->window->isWindow());
    }

    void placedOnItsScreenByTheWindowItself() {
        QWidget& window = *controller->window;
        QCOMPARE(window.pos(), centredOrigin(window.size(), window.screen()->availableGeometry()));
    }

    void centredOriginCentresOnAnyScreen() {
        QCOMPARE(centredOrigin({640, 640}, {0, 0, 1920, 1080}), QPoint(640, 220));
        QCOMPARE(centredOrigin({640, 640}, {0, 28, 1440, 872}), QPoint(400, 144));
        QCOMPARE(centredOrigin({640, 640}, {1920, 0, 1280, 1024}), QPoint(2240, 192));
        QCOMPARE(centredOrigin({640, 640}, {-1280, -200, 1280, 1024}), QPoint(-960, -8));
    }

    void centredOriginKeepsTheTopLeftOnASmallScreen() {
        QCOMPARE(centredOrigin({640, 640}, {0, 0, 800, 600}), QPoint(80, 0));
        QCOMPARE(centredOrigin({640, 640}, {100, 50, 600, 480}), QPoint(100, 50));
    }

    void columnSpacing() {
        QVBoxLayout* main = column(*controller);
        QVERIFY(main);
        QCOMPARE(main->contentsMargins(), QMargins(24, 24, 24, 24));
        QCOMPARE(main->spacing(), 14);
        QCOMPARE(main->count(), 6);
        QCOMPARE(buttonRow(*controller)->spacing(), 12);
    }

    void viewsInOrder() {
        auto* heading = qobject_cast<QLabel*>(viewAt(*controller, 0));
        QVERIFY(heading);
        QCOMPARE(heading->text(), QStringLiteral("QuickTime Audio Lanemark"));
        QCOMPARE(viewAt(*controller, 1), controller->status);
        QCOMPARE(controller->status->text(), QStringLiteral("Open a QuickTime movie with PCM audio tracks."));
        QCOMPARE(buttonTexts(buttonRow(*controller)),
                 QStringList({QStringLiteral("Open Movie\u2026"), QStringLiteral("Apply 12-channel delivery preset")}));
        QVERIFY(qobject_cast<QScrollArea*>(viewAt(*controller, 3)));
        auto* note = qobject_cast<QLabel*>(viewAt(*controller, 4));
        QVERIFY(note);
        QCOMPARE(note->text(), QStringLiteral("Saves channel metadata in place. Audio and video are not re-encoded or "
                                              "moved. A small metadata recovery backup is saved beside the movie. "
                                              "Supports PCM audio tracks."));
        QCOMPARE(viewAt(*controller, 5), controller->save);
        QCOMPARE(controller->save->text(), QStringLiteral("Save labels in this file"));
    }

    void headingIsLargeAndBold() {
        const QFont font = viewAt(*controller, 0)->font();
        QCOMPARE(font.pointSize(), 22);
        QVERIFY(font.bold());
    }

    void statusWrapsInTheDefaultLook() {
        QVERIFY(controller->status->wordWrap());
        QCOMPARE(controller->status->font(), QApplication::font(controller->status));
        QCOMPARE(controller->status->foregroundRole(), QPalette::WindowText);
    }

    void noteWrapsInASecondaryColour() {
        auto* note = qobject_cast<QLabel*>(viewAt(*controller, 4));
        QVERIFY(note->wordWrap());
        const QPalette palette = note->palette();
        QVERIFY(palette.color(note->foregroundRole()) != palette.color(QPalette::WindowText));
    }

    void wrappingLabelsTakeOnlyTheHeightTheirTextNeeds() {
        controller->window->layout()->activate();
        for (int index : {1, 4}) {
            auto* label = qobject_cast<QLabel*>(viewAt(*controller, index));
            QVERIFY(label->height() > 0);
            QCOMPARE(label->height(), label->heightForWidth(label->width()));
        }
    }

    void trackListStartsEmptyAndScrollsOnlyDown() {
        auto* list = qobject_cast<QScrollArea*>(viewAt(*controller, 3));
        QCOMPARE(list->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        QCOMPARE(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(list->widgetResizable());
        QCOMPARE(list->minimumHeight(), 300);
        QCOMPARE(list->widget()->layout(), controller->stack);
        QCOMPARE(listTexts(*controller),
                 QStringList{QStringLiteral("No movie open. Choose Open Movie\u2026 or drop a movie here.")});
        const auto* line = list->widget()->findChild<QLabel*>();
        QVERIFY(line->width() >= line->fontMetrics().horizontalAdvance(line->text()));
        QCOMPARE(line->visibleRegion().boundingRect(), line->rect());
        QVERIFY(!list->verticalScrollBar()->isVisible());
        QCOMPARE(controller->stack->spacing(), 8);
        QVERIFY(controller->stack->alignment() & Qt::AlignTop);
        QVERIFY(controller->menus.isEmpty());
    }

    void viewsStayApartAtEverySizeTheWindowAllows() {
        const build::TempDir dir;
        const auto movie = writeMovie(dir, "a take whose long name wraps onto a second line.mov", {1, 2, 3});
        QWidget& window = *controller->window;
        for (const bool opened : {false, true}) {
            if (opened) controller->open(movie);
            for (const QSize size : {QSize(1, 1), QSize(1, 2000), QSize(2000, 1), QSize(640, 640)}) {
                window.resize(size);
                settle();
                QList<QWidget*> views;
                for (QWidget* view : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                    if (view->isVisible()) views << view;
                const QString where = QStringLiteral("at %1x%2").arg(window.width()).arg(window.height());
                for (QWidget* view : views) {
                    QVERIFY2(window.rect().contains(view->geometry()), qPrintable(where));
                    for (QWidget* other : views)
                        QVERIFY2(view == other || !view->geometry().intersects(other->geometry()), qPrintable(where));
                    if (auto* label = qobject_cast<QLabel*>(view))
                        QVERIFY2(label->height() >= label->heightForWidth(label->width()), qPrintable(where));
                }
            }
        }
    }

    void trackListTakesTheFullColumnWidth() {
        auto* list = qobject_cast<QScrollArea*>(viewAt(*controller, 3));
        QCOMPARE(list->width(), controller->window->width() - 2 * 24);
        QCOMPARE(list->widget()->width(), list->viewport()->width());
    }

    void saveStartsDisabledAndAlone() {
        QVERIFY(!controller->save->isEnabled());
        controller->save->click();
        QVERIFY(controller->alerts.isEmpty());
        QCOMPARE(controller->chooserCalls, 0);
    }

    void buttonsAreWired() {
        QList<QPushButton*> buttons;
        for (int i = 0; i < 2; ++i) buttons << qobject_cast<QPushButton*>(buttonRow(*controller)->itemAt(i)->widget());
        buttons[0]->click();
        QCOMPARE(controller->chooserCalls, 1);
        buttons[1]->click();
        QCOMPARE(controller->alerts,
                 QStringList{QStringLiteral("The delivery preset requires twelve audio channels.")});
    }

    void menuBarHoldsOnlyQuit() {
        QMenuBar* bar = menuBar(*controller);
        QVERIFY(bar);
        const QList<QAction*> menus = bar->actions();
        QCOMPARE(menus.size(), 1);
        QCOMPARE(menus[0]->text(), QStringLiteral("Lanemark"));
        QMenu* menu = menus[0]->menu();
        QVERIFY(menu);
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 1);
        QCOMPARE(actions[0]->text(), QStringLiteral("Quit Lanemark"));
        QVERIFY(!actions[0]->shortcut().isEmpty());
        const QKeySequence standard(QKeySequence::Quit);
        QCOMPARE(actions[0]->shortcut(), standard.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : standard);
    }

    void menuBarSitsAboveTheMarginedColumn() {
        QMenuBar* bar = menuBar(*controller);
        QCOMPARE(bar->geometry().top(), 0);
        QCOMPARE(viewAt(*controller, 0)->geometry().top(), bar->geometry().bottom() + 1 + 24);
        QCOMPARE(viewAt(*controller, 0)->geometry().left(), 24);
    }

    void quitEndsTheApplicationAtOnce() {
        QAction* quit = menuBar(*controller)->actions()[0]->menu()->actions()[0];
        QTimer::singleShot(0, quit, &QAction::trigger);
        QCOMPARE(runUntilQuit(), 0);
        QVERIFY(controller->alerts.isEmpty());
    }

    void closingTheWindowEndsTheApplication() {
        QTimer::singleShot(0, controller->window.get(), &QWidget::close);
        QCOMPARE(runUntilQuit(), 0);
        QVERIFY(!controller->window->isVisible());
        QVERIFY(controller->alerts.isEmpty());
    }
};

int runLaunch(int argc, char** argv) {
    Launch tests;
    return QTest::qExec(&tests, argc, argv);
}

}  // namespace lanemark::testing

#include "launch_test.moc"
