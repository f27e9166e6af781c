// The two places the window waits for a person: the file chooser and the alert.
// A timer plays the person's part.

#include <QAbstractButton>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

#include <memory>

#include "tests/window/harness.hpp"

namespace lanemark::testing {
namespace {

// The real dialogs, with the chooser reachable from the tests.
class RealDialogs : public Controller {
public:
    using Controller::chooseMovie;
};

}  // namespace

class Dialogs : public QObject {
    Q_OBJECT

    std::unique_ptr<build::TempDir> dir;
    std::unique_ptr<RealDialogs> controller;

private slots:
    void init() {
        dir = std::make_unique<build::TempDir>();
        controller = std::make_unique<RealDialogs>();
        controller->applicationDidFinishLaunching();
    }
    void cleanup() {
        controller.reset();
        dir.reset();
    }

    void alertIsAPlainBoxWithOneOkButton() {
        QString text, informative;
        Qt::TextFormat format = Qt::AutoText;
        QMessageBox::Icon icon = QMessageBox::Warning;
        Qt::WindowModality modality = Qt::NonModal;
        QList<QAbstractButton*> buttons;
        QMessageBox::StandardButton standard = QMessageBox::NoButton;
        WhenModal person([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) {
                modal->close();
                return;
            }
            text = box->text();
            format = box->textFormat();
            informative = box->informativeText();
            icon = box->icon();
            modality = box->windowModality();
            buttons = box->buttons();
            standard = box->standardButton(buttons.value(0));
            buttons.value(0)->click();
        });
        controller->alert(QStringLiteral("Cannot open \"<i>x</i>.mov\": No such file or directory"));
        QVERIFY(person.seen());
        QCOMPARE(text, QStringLiteral("Cannot open \"<i>x</i>.mov\": No such file or directory"));
        QCOMPARE(format, Qt::PlainText);
        QVERIFY(informative.isEmpty());
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(modality, Qt::ApplicationModal);
        QCOMPARE(buttons.size(), 1);
        QCOMPARE(standard, QMessageBox::Ok);
    }

    void failedOpenShowsTheAlert() {
        QString text;
        WhenModal person([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) text = box->text();
            modal->close();
        });
        struct Chooser : RealDialogs {
            std::optional<std::filesystem::path> chooseMovie() override { return path; }
            std::filesystem::path path;
        } chooser;
        chooser.path = *dir / "missing.mov";
        chooser.applicationDidFinishLaunching();
        chooser.openMovie();
        QVERIFY(person.seen());
        QVERIFY(text.contains(QStringLiteral("missing.mov")));
    }

    void chooserAsksForOneExistingMovie() {
        QFileDialog::FileMode mode = QFileDialog::Directory;
        QFileDialog::AcceptMode accept = QFileDialog::AcceptSave;
        QStringList filters;
        WhenModal person([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) {
                modal->close();
                return;
            }
            mode = dialog->fileMode();
            accept = dialog->acceptMode();
            filters = dialog->nameFilters();
            dialog->reject();
        });
        const auto chosen = controller->chooseMovie();
        QVERIFY(person.seen());
        QCOMPARE(mode, QFileDialog::ExistingFile);
        QCOMPARE(accept, QFileDialog::AcceptOpen);
        QCOMPARE(filters,
                 QStringList({QStringLiteral("QuickTime movies (*.mov *.qt)"), QStringLiteral("All files (*)")}));
        QVERIFY(!chosen);
        QCOMPARE(fileCount(home()), std::size_t(0));
    }

    void chooserAnswersWithThePickedFile() {
        const auto path = writeMovie(*dir, "picked \u00e9.mov", {1});
        WhenModal person([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) {
                modal->close();
                return;
            }
            // Types the name as a person would; selecting in the list would race the dialog's directory reading.
            dialog->setDirectory(displayName(dir->path()));
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name) name->setText(displayName(path.filename()));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const auto chosen = controller->chooseMovie();
        QVERIFY(person.seen());
        QVERIFY2(person.unexpected.isEmpty(), qPrintable(person.unexpected.join(QLatin1Char('\n'))));
        QVERIFY(chosen);
        QCOMPARE(std::filesystem::canonical(*chosen), std::filesystem::canonical(path));
        QCOMPARE(fileCount(home()), std::size_t(0));
    }

    void chooserStartsBesideTheOpenMovie() {
        struct Opened : RealDialogs {
            std::optional<std::filesystem::path> chooseMovie() override { return path; }
            std::filesystem::path path;
        } opened;
        opened.path = writeMovie(*dir, "open.mov", {1});
        opened.applicationDidFinishLaunching();
        opened.openMovie();
        QVERIFY(opened.movie);
        QString shown;
        WhenModal person([&](QWidget* modal) {
            if (auto* dialog = qobject_cast<QFileDialog*>(modal)) shown = dialog->directory().absolutePath();
            modal->close();
        });
        (void)opened.RealDialogs::chooseMovie();
        QVERIFY(person.seen());
        QCOMPARE(pathFrom(shown), std::filesystem::canonical(dir->path()));
    }
};

int runDialogs(int argc, char** argv) {
    Dialogs tests;
    return QTest::qExec(&tests, argc, argv);
}

}  // namespace lanemark::testing

#include "dialogs_test.moc"
