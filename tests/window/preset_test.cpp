// The twelve-track delivery preset: what it selects, and when it refuses.

#include <QPushButton>
#include <QTest>

#include <memory>

#include "metadata/labels.hpp"
#include "tests/window/harness.hpp"

namespace lanemark::testing {
namespace {

const QString refusal = QStringLiteral("The delivery preset requires twelve audio channels.");

QStringList presetNames() {
    QStringList names;
    for (std::uint32_t value : preset) names << QString::fromStdString(choices[*choiceIndex(value)].name);
    return names;
}

}  // namespace

class DeliveryPreset : public WindowTest {
    Q_OBJECT

private slots:
    void selectsTheDeliveryLayout() {
        controller->open(writeMovie(*dir, "master.mov", std::vector<std::uint32_t>(12, 42)));
        controller->applyPreset();
        QVERIFY(controller->alerts.isEmpty());
        QCOMPARE(selections(*controller), presetNames());
        QCOMPARE(selections(*controller),
                 QStringList({"Left", "Right", "Center", "LFE", "Left Back / Surround", "Right Back / Surround",
                              "Left Total", "Right Total", "Left Total", "Right Total", "Left Total", "Right Total"}));
    }

    void fitsTwelveChannelsHoweverPacked() {
        const build::Buffer stereo = build::lpcm(2, 2, {});
        controller->open(writeTracks(*dir, "master.mov", {build::lpcm(2, 6, {}), stereo, stereo, stereo}));
        controller->applyPreset();
        QVERIFY(controller->alerts.isEmpty());
        QCOMPARE(selections(*controller), presetNames());
    }

    void keepsOtherEntriesUnselected() {
        controller->open(writeMovie(*dir, "master.mov", {42, 42, 42, 42, 42, 42, 7, 42, 42, 42, 42, 65537}));
        controller->applyPreset();
        QCOMPARE(items(controller->menus[6]), catalogueNames() << QStringLiteral("Discrete / Other (7)"));
        QCOMPARE(items(controller->menus[11]), catalogueNames() << QStringLiteral("Discrete / Other (65537)"));
        QCOMPARE(selections(*controller), presetNames());
    }

    void touchesNeitherFileNorStatusNorSave() {
        const auto path = writeMovie(*dir, "master.mov", std::vector<std::uint32_t>(12, 42));
        const auto bytes = build::readFile(path);
        controller->open(path);
        const QString status = controller->status->text();
        const QList<QComboBox*> menus = controller->menus;
        controller->applyPreset();
        QCOMPARE(build::readFile(path), bytes);
        QCOMPARE(fileCount(dir->path()), std::size_t(1));
        QCOMPARE(controller->status->text(), status);
        QVERIFY(controller->save->isEnabled());
        QCOMPARE(controller->menus, menus);
        QCOMPARE(controller->movie->labels(), build::labelled(std::vector<std::uint32_t>(12, 42)));
    }

    void refusesOtherTrackCounts_data() {
        QTest::addColumn<int>("tracks");
        QTest::newRow("one") << 1;
        QTest::newRow("eleven") << 11;
        QTest::newRow("thirteen") << 13;
        QTest::newRow("twenty-four") << 24;
    }
    void refusesOtherTrackCounts() {
        QFETCH(int, tracks);
        const auto path = writeMovie(*dir, "master.mov", std::vector<std::uint32_t>(std::size_t(tracks), 42));
        const auto bytes = build::readFile(path);
        controller->open(path);
        controller->menus[0]->setCurrentIndex(4);
        const WindowState before = snapshot(*controller);
        controller->applyPreset();
        QCOMPARE(controller->alerts, QStringList{refusal});
        QCOMPARE(snapshot(*controller), before);
        QCOMPARE(build::readFile(path), bytes);
    }

    void refusesBeforeAnyMovie() {
        const WindowState before = snapshot(*controller);
        controller->applyPreset();
        QCOMPARE(controller->alerts, QStringList{refusal});
        QCOMPARE(snapshot(*controller), before);
        QVERIFY(!controller->save->isEnabled());
    }
};

int runPreset(int argc, char** argv) {
    DeliveryPreset tests;
    return QTest::qExec(&tests, argc, argv);
}

}  // namespace lanemark::testing

#include "preset_test.moc"
