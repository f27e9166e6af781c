// Opening movies: the rows built for their tracks, the status line, and what a
// cancelled or failed open leaves behind.

#include <QAccessible>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

#include "metadata/labels.hpp"
#include "tests/window/harness.hpp"
#include "window/start.hpp"

namespace lanemark::testing {
namespace {

const std::vector<std::uint32_t> mixedTwelve{1, 2, 3, 4, 5, 6, 38, 39, 42, 42, 38, 39};

QString nameOf(std::uint32_t value) { return QString::fromStdString(choices[*choiceIndex(value)].name); }

}  // namespace

class Opening : public WindowTest {
    Q_OBJECT

private slots:
    void twelveTracksGiveTwelveRows() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        QVERIFY(controller->alerts.isEmpty());
        QStringList expected;
        for (int i = 1; i <= 12; ++i) expected << QStringLiteral("Audio track %1").arg(i);
        QCOMPARE(rowNames(*controller), expected);
        QCOMPARE(listTexts(*controller), expected);
        QCOMPARE(controller->menus.size(), 12);
        QVERIFY(controller->movie);
        QCOMPARE(controller->movie->labels(), build::labelled(mixedTwelve));
    }

    void eachRowIsANameThenItsMenu() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        settle();
        controller->window->findChildren<QPushButton*>().value(1)->setFocus();  // the preset button
        for (int i = 0; i < controller->stack->count(); ++i) {
            auto* row = qobject_cast<QHBoxLayout*>(controller->stack->itemAt(i)->layout());
            QVERIFY(row);
            QCOMPARE(row->spacing(), 12);
            auto* name = qobject_cast<QLabel*>(row->itemAt(0)->widget());
            QCOMPARE(name->minimumWidth(), 140);
            QCOMPARE(name->maximumWidth(), 140);
            QCOMPARE(row->itemAt(1)->widget(), controller->menus[i]);
            const auto* spoken = QAccessible::queryAccessibleInterface(controller->menus[i]);
            QCOMPARE(spoken->text(QAccessible::Name) + spoken->text(QAccessible::Value),
                     name->text() + controller->menus[i]->currentText());
            QTest::keyClick(controller->window->focusWidget(), Qt::Key_Tab);
            QCOMPARE(controller->window->focusWidget(), controller->menus[i]);
        }
        QTest::keyClick(controller->window->focusWidget(), Qt::Key_Tab);
        QCOMPARE(controller->window->focusWidget(), controller->save);
    }

    void startedWithAMovieShowsItOpen() {
        ScriptedController started;
        launch(started, writeMovie(*dir, "master.mov", mixedTwelve));
        QCOMPARE(started.status->text(), QStringLiteral("\u2068master.mov\u2069 \u2014 12 mono PCM tracks"));
        QCOMPARE(listTexts(started).size(), 12);

        ScriptedController failed;
        launch(failed, *dir / "missing.mov");
        controller->open(*dir / "missing.mov");
        QCOMPARE(failed.alerts, controller->alerts);
        QCOMPARE(failed.status->text(), QStringLiteral("Open a QuickTime movie with PCM audio tracks."));
        QCOMPARE(started.chooserCalls + failed.chooserCalls, 0);
    }

    void droppedMovieOpens() {
        auto* list = controller->window->findChild<QScrollArea*>();
        QVERIFY(drop(list, {displayName(writeMovie(*dir, "dropped.mov", {1, 2, 3}))}));
        QCOMPARE(controller->status->text(), QStringLiteral("\u2068dropped.mov\u2069 \u2014 3 mono PCM tracks"));
        const WindowState before = snapshot(*controller);
        QVERIFY(!drop(list, {displayName(*dir / "a.mov"), displayName(*dir / "b.mov")}));
        QVERIFY(drop(controller->status, {displayName(*dir / "missing.mov")}));
        QCOMPARE(controller->alerts.size(), 1);
        QVERIFY(controller->alerts[0].contains(QStringLiteral("missing.mov")));
        QCOMPARE(snapshot(*controller), before);
    }

    void scrollBarOnlyWhenRowsDoNotFit() {
        auto* list = controller->window->findChild<QScrollArea*>();
        controller->open(writeMovie(*dir, "few.mov", {1, 2, 3}));
        settle();
        QVERIFY(!list->verticalScrollBar()->isVisible());
        std::vector<std::uint32_t> many(mixedTwelve.begin(), mixedTwelve.end());
        many.insert(many.end(), mixedTwelve.begin(), mixedTwelve.begin() + 8);
        controller->open(writeMovie(*dir, "many.mov", many));
        settle();
        QVERIFY(list->verticalScrollBar()->isVisible());
        turnWheel(controller->menus[3], -3);
        QCOMPARE(selections(*controller).value(3), nameOf(mixedTwelve[3]));
        QVERIFY(list->verticalScrollBar()->value() > 0);
        controller->window->resize(640, 1400);
        settle();
        QVERIFY(!list->verticalScrollBar()->isVisible());
    }

    void menusOfferTheCatalogueInOrder() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        for (const QComboBox* menu : controller->menus) QCOMPARE(items(menu), catalogueNames());
    }

    void menusSelectEachTracksLabel() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        QStringList expected;
        for (std::uint32_t value : mixedTwelve) expected << nameOf(value);
        QCOMPARE(selections(*controller), expected);
    }

    void statusNamesTheFileAndCountsTracks() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        QCOMPARE(controller->status->text(), QStringLiteral("\u2068master.mov\u2069 \u2014 12 mono PCM tracks"));
        QVERIFY(controller->save->isEnabled());
    }

    void statusForOneTrackStaysPlural() {
        controller->open(writeMovie(*dir, "name.mov", {42}));
        QCOMPARE(controller->status->text(), QStringLiteral("\u2068name.mov\u2069 \u2014 1 mono PCM tracks"));
        QCOMPARE(rowNames(*controller), QStringList{QStringLiteral("Audio track 1")});
        QCOMPARE(selections(*controller), QStringList{QStringLiteral("Mono")});
    }

    void statusShowsFileNamesAsTheyAre() {
        controller->open(writeMovie(*dir, "take %1 %2 \u00e9t\u00e9.mov", {1, 2, 3}));
        QCOMPARE(controller->status->text(),
                 QStringLiteral("\u2068take %1 %2 \u00e9t\u00e9.mov\u2069 \u2014 3 mono PCM tracks"));
        controller->open(writeMovie(*dir, "<b>take.mov", {1}));
        QCOMPARE(controller->status->text(), QStringLiteral("\u2068<b>take.mov\u2069 \u2014 1 mono PCM tracks"));
        QCOMPARE(controller->status->textFormat(), Qt::PlainText);
        // The label draws its line in the direction of its text, which the isolated name no longer sets.
        controller->open(writeMovie(*dir, "\u05e1\u05e8\u05d8 1", {1, 2, 3}));
        QCOMPARE(controller->status->text(),
                 QStringLiteral("\u2068\u05e1\u05e8\u05d8 1\u2069 \u2014 3 mono PCM tracks"));
        QVERIFY(!controller->status->text().isRightToLeft());
    }

    void longFileNameDoesNotWidenTheWindow() {
        controller->open(writeMovie(*dir, std::string(200, 'x') + ".mov", {1, 2}));
        QVERIFY(controller->alerts.isEmpty());
        QVERIFY(controller->status->text().startsWith(QStringLiteral("\u2068xxxx")));
        QVERIFY(controller->window->minimumSizeHint().width() <= 640);
        settle();
        QCOMPARE(controller->window->width(), 640);
        QVERIFY(controller->status->text().contains(QStringLiteral("x\u2026x")));
        QVERIFY(controller->status->text().endsWith(QStringLiteral("x.mov\u2069 \u2014 2 mono PCM tracks")));
        QCOMPARE(controller->status->height(), controller->status->fontMetrics().lineSpacing());
        QCOMPARE(controller->status->toolTip(), QString(200, QLatin1Char('x')) + QStringLiteral(".mov"));
    }

    void labelOutsideTheCatalogueGetsItsOwnEntry() {
        controller->open(writeMovie(*dir, "stems.mov", {1, 7, 2}));
        const QComboBox* other = controller->menus[1];
        QCOMPARE(items(other), catalogueNames() << QStringLiteral("Discrete / Other (7)"));
        QCOMPARE(other->currentIndex(), int(choices.size()));
        QCOMPARE(items(controller->menus[0]), catalogueNames());
        QCOMPARE(items(controller->menus[2]), catalogueNames());
        QCOMPARE(selections(*controller), QStringList({QStringLiteral("Left"), QStringLiteral("Discrete / Other (7)"),
                                                       QStringLiteral("Right")}));
    }

    void eachChannelOfALargerTrackGetsARow() {
        controller->open(writeTracks(*dir, "stems.mov", {build::monoPcm(42), build::lpcm(2, 2, {})}));
        QCOMPARE(rowNames(*controller),
                 QStringList({"Audio track 1", "Audio track 2, channel 1", "Audio track 2, channel 2"}));
        QCOMPARE(items(controller->menus[2]), catalogueNames() << QStringLiteral("No Label"));
        QCOMPARE(selections(*controller), QStringList({"Mono", "No Label", "No Label"}));
        QCOMPARE(controller->status->text(), QStringLiteral("\u2068stems.mov\u2069 \u2014 3 PCM channels in 2 tracks"));
        settle();
        for (const QLabel* name : controller->stack->parentWidget()->findChildren<QLabel*>())
            QVERIFY(name->width() >= name->fontMetrics().horizontalAdvance(name->text()));
    }

    void otherLabelsAreShownInUnsignedDecimal() {
        controller->open(writeMovie(*dir, "stems.mov", {65537, 4294967295u, 0}));
        QCOMPARE(selections(*controller), QStringList({QStringLiteral("Discrete / Other (65537)"),
                                                       QStringLiteral("Discrete / Other (4294967295)"),
                                                       QStringLiteral("Discrete / Other (0)")}));
    }

    void openingAnotherMovieReplacesTheRows() {
        controller->open(writeMovie(*dir, "first.mov", mixedTwelve));
        const QPointer<QComboBox> old = controller->menus[0];
        controller->open(writeMovie(*dir, "second.mov", {3, 7, 4}));
        QVERIFY(old.isNull());
        QCOMPARE(rowNames(*controller), QStringList({QStringLiteral("Audio track 1"), QStringLiteral("Audio track 2"),
                                                     QStringLiteral("Audio track 3")}));
        QCOMPARE(controller->menus.size(), 3);
        QCOMPARE(controller->status->text(), QStringLiteral("\u2068second.mov\u2069 \u2014 3 mono PCM tracks"));
        QCOMPARE(controller->movie->url(), *dir / "second.mov");
        QCOMPARE(controller->stack->parentWidget()->findChildren<QComboBox*>().size(), 3);
    }

    void cancelledOpenChangesNothing() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        controller->menus[3]->setCurrentIndex(8);
        const WindowState before = snapshot(*controller);
        controller->open(std::nullopt);
        QCOMPARE(snapshot(*controller), before);
        controller->open(std::filesystem::path());
        QCOMPARE(snapshot(*controller), before);
        QCOMPARE(controller->chooserCalls, 3);
        QVERIFY(controller->alerts.isEmpty());
    }

    void cancelledFirstOpenLeavesTheWelcome() {
        const WindowState before = snapshot(*controller);
        controller->open(std::nullopt);
        QCOMPARE(snapshot(*controller), before);
        QVERIFY(!controller->movie);
    }

    void failedOpenAlertsAndKeepsThePreviousMovie() {
        controller->open(writeMovie(*dir, "master.mov", mixedTwelve));
        controller->menus[0]->setCurrentIndex(2);
        const WindowState before = snapshot(*controller);
        const auto bare = *dir / "bare.mov";
        build::writeFile(bare,
                         build::join({build::atom("ftyp", build::zeros(8)), build::atom("mdat", build::zeros(32))}));
        controller->open(bare);
        QCOMPARE(controller->alerts, QStringList{QStringLiteral("No supported trailing movie metadata found.")});
        QCOMPARE(snapshot(*controller), before);

        controller->applyPreset();
        QCOMPARE(controller->alerts.size(), 1);
        QCOMPARE(selections(*controller).value(0), QStringLiteral("Left"));
        QVERIFY(controller->save->isEnabled());
    }

    void failedFirstOpenLeavesTheWelcome() {
        const WindowState before = snapshot(*controller);
        controller->open(*dir / "missing.mov");
        QCOMPARE(controller->alerts.size(), 1);
        QVERIFY(controller->alerts[0].contains(QStringLiteral("missing.mov")));
        QCOMPARE(snapshot(*controller), before);
        QVERIFY(!controller->movie);
    }

    void openingReadsWithoutWriting() {
        const auto path = writeMovie(*dir, "master.mov", mixedTwelve);
        const auto bytes = build::readFile(path);
        controller->open(path);
        controller->menus[0]->setCurrentIndex(5);
        QCOMPARE(build::readFile(path), bytes);
        QCOMPARE(fileCount(dir->path()), std::size_t(1));
    }
};

int runOpening(int argc, char** argv) {
    Opening tests;
    return QTest::qExec(&tests, argc, argv);
}

}  // namespace lanemark::testing

#include "opening_test.moc"
