// Saving: what reaches the file, what the window shows afterwards, and what a
// refused save leaves alone.

#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "metadata/labels.hpp"
#include "tests/window/harness.hpp"

namespace lanemark::testing {
namespace {

const QString savedStatus = QStringLiteral("Saved and verified. Audio and video data were not rewritten.");
const QString backupRefusal = QStringLiteral(
    "A metadata backup already exists beside this movie. Keep it safe and move it elsewhere before making another "
    "edit.");

int indexOf(std::uint32_t value) { return int(*choiceIndex(value)); }

std::vector<std::uint32_t> labelsIn(const std::filesystem::path& path) {
    const Movie movie(path);
    std::vector<std::uint32_t> labels;
    for (const auto& label : movie.labels()) labels.push_back(label.value());
    return labels;
}

}  // namespace

class Saving : public WindowTest {
    Q_OBJECT

private slots:
    void writesTheSelectedLabels() {
        const auto path = writeMovie(*dir, "master.mov", {42, 42, 42});
        controller->open(path);
        controller->menus[0]->setCurrentIndex(indexOf(38));
        controller->menus[2]->setCurrentIndex(indexOf(4));
        controller->save->click();
        QVERIFY2(controller->alerts.isEmpty(), qPrintable(controller->alerts.join('\n')));
        QCOMPARE(labelsIn(path), std::vector<std::uint32_t>({38, 42, 4}));
    }

    void ctrlOOpensAndCtrlSSaves() {
        const auto path = writeMovie(*dir, "master.mov", {42, 42});
        controller->answers.push_back(path);
        QTest::keyClick(controller->window->windowHandle(), Qt::Key_O, Qt::ControlModifier);
        QTRY_COMPARE(controller->menus.size(), 2);  // a shortcut shows its button pressed a moment first
        controller->menus[1]->setCurrentIndex(indexOf(3));
        QTest::keyClick(controller->window->windowHandle(), Qt::Key_S, Qt::ControlModifier);
        QTRY_COMPARE(controller->status->text(), savedStatus);
        QCOMPARE(labelsIn(path), std::vector<std::uint32_t>({42, 3}));
    }

    void showsTheFileAsItNowReads() {
        const auto path = writeMovie(*dir, "master.mov", {42, 42, 42});
        controller->open(path);
        const QPointer<QComboBox> old = controller->menus[0];
        controller->menus[1]->setCurrentIndex(indexOf(3));
        controller->saveMovie();
        QCOMPARE(controller->status->text(), savedStatus);
        QVERIFY(!controller->save->isEnabled());
        QVERIFY(old.isNull());
        QCOMPARE(controller->menus.size(), 3);
        QCOMPARE(rowNames(*controller).size(), 3);
        QCOMPARE(selections(*controller), QStringList({"Mono", "Center", "Mono"}));
        QCOMPARE(controller->movie->labels(), build::labelled({42, 3, 42}));
    }

    void leavesTheMediaWhereItWas() {
        const auto path = writeMovie(*dir, "master.mov", std::vector<std::uint32_t>(12, 42));
        const auto before = build::readFile(path);
        controller->open(path);
        const std::uint64_t mediaEnd = controller->movie->offset();
        controller->applyPreset();
        controller->saveMovie();
        const auto after = build::readFile(path);
        QVERIFY(after.size() >= mediaEnd);
        QVERIFY(std::equal(before.begin(), before.begin() + std::ptrdiff_t(mediaEnd), after.begin()));
        QCOMPARE(labelsIn(path), std::vector<std::uint32_t>(preset.begin(), preset.end()));
    }

    void presetAfterSaveKeepsSaveDisabled() {
        controller->open(writeMovie(*dir, "master.mov", std::vector<std::uint32_t>(12, 42)));
        controller->applyPreset();
        controller->saveMovie();
        QVERIFY(!controller->save->isEnabled());
        controller->applyPreset();
        QVERIFY(!controller->save->isEnabled());
        QCOMPARE(controller->status->text(), savedStatus);
        QVERIFY(controller->alerts.isEmpty());
    }

    void otherLabelIsWrittenBackUnchanged() {
        const auto path = writeMovie(*dir, "stems.mov", {1, 7, 2, 65537});
        controller->open(path);
        controller->menus[0]->setCurrentIndex(indexOf(3));
        controller->saveMovie();
        QVERIFY(controller->alerts.isEmpty());
        QCOMPARE(labelsIn(path), std::vector<std::uint32_t>({3, 7, 2, 65537}));
        QCOMPARE(selections(*controller).value(1), QStringLiteral("Discrete / Other (7)"));
        QCOMPARE(selections(*controller).value(3), QStringLiteral("Discrete / Other (65537)"));
    }

    void otherEntryChosenAgainAfterThePreset() {
        const auto path = writeMovie(*dir, "master.mov", {42, 42, 42, 42, 42, 42, 7, 42, 42, 42, 42, 42});
        controller->open(path);
        controller->applyPreset();
        controller->menus[6]->setCurrentIndex(controller->menus[6]->count() - 1);
        controller->saveMovie();
        std::vector<std::uint32_t> expected(preset.begin(), preset.end());
        expected[6] = 7;
        QCOMPARE(labelsIn(path), expected);
    }

    void secondSaveIsRefusedByTheBackup() {
        const auto path = writeMovie(*dir, "master.mov", std::vector<std::uint32_t>(12, 42));
        controller->open(path);
        controller->applyPreset();
        controller->saveMovie();
        QVERIFY(controller->alerts.isEmpty());
        const auto files = fileCount(dir->path());
        QVERIFY(files > 1);

        controller->open(path);
        QVERIFY(controller->save->isEnabled());
        controller->menus[0]->setCurrentIndex(indexOf(42));
        const WindowState before = snapshot(*controller);
        const auto bytes = build::readFile(path);
        controller->saveMovie();
        QCOMPARE(controller->alerts, QStringList{backupRefusal});
        QCOMPARE(snapshot(*controller), before);
        QVERIFY(controller->save->isEnabled());
        QCOMPARE(build::readFile(path), bytes);
        QCOMPARE(fileCount(dir->path()), files);
    }

    void refusedUntilEveryChannelHasALabel() {
        const auto path = writeTracks(*dir, "stems.mov", {build::monoPcm(42), build::lpcm(2, 2, {})});
        const auto bytes = build::readFile(path);
        controller->open(path);
        controller->menus[1]->setCurrentIndex(indexOf(38));
        controller->save->click();
        QCOMPARE(controller->alerts, QStringList{QStringLiteral("Choose a label for every channel before saving.")});
        QCOMPARE(build::readFile(path), bytes);
        QCOMPARE(fileCount(dir->path()), std::size_t(1));
        controller->menus[2]->setCurrentIndex(indexOf(39));
        controller->save->click();
        QCOMPARE(labelsIn(path), std::vector<std::uint32_t>({42, 38, 39}));
    }

    void nothingToSaveWithoutAMovie() {
        const WindowState before = snapshot(*controller);
        controller->saveMovie();
        QVERIFY(controller->alerts.isEmpty());
        QCOMPARE(snapshot(*controller), before);
        QCOMPARE(fileCount(dir->path()), std::size_t(0));
    }
};

int runSaving(int argc, char** argv) {
    Saving tests;
    return QTest::qExec(&tests, argc, argv);
}

}  // namespace lanemark::testing

#include "saving_test.moc"
