// The settings window without a service: its named controls and bars, the stored settings it
// shows, the queue directory it refuses, what a save writes back, its help texts and clock, and
// the wrenset program's screenshot.
#include "config/frmConfig.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <filesystem>
#include <memory>
#include <tuple>

#include "config/DirectoryChooser.h"
#include "config/DockArea.h"
#include "config/MessageBoxAnswerer.h"
#include "config/StoredSettings.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

using namespace config;
using namespace config_testing;
namespace fs = std::filesystem;

namespace {

template <class T = QObject>
T* Find(const QWidget& form, const char* name) {
  T* found = form.findChild<T*>(name);
  if (found == nullptr) qFatal("no control %s", name);
  return found;
}

void Click(const QWidget& form, const char* button) {
  Find<QAbstractButton>(form, button)->click();
}

QString Hint(const QWidget& form) { return Find<QLabel>(form, "HintPanel")->toolTip(); }

}  // namespace

class FormTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    root_ = std::make_unique<testing_support::MachineRoot>();
    queue_ = std::make_unique<testing_support::TempDir>();
    settings::Settings() = settings::TSettings{};
  }
  void cleanup() {
    queue_.reset();
    root_.reset();
  }

  void everyControlCarriesItsName() {
    TForm1 form({});
    const char* names[] = {
        "Dock971",          "Dock972",        "Dock973",         "Dock974",
        "MainMenu971",      "Toolbar971",     "cbLoad",          "cbSaveSettings",
        "ToolbarSep972",    "cbStartService", "cbStopService",   "Panel1",
        "Label1",           "TrackBar1",      "Label3",          "cbDebugLog",
        "Panel4",           "Label5",         "TrackBar2",       "lblDeliveryAttempts",
        "Panel2",           "Label2",         "edtMessageDir",   "OvcAttachedButton1",
        "Panel3",           "Label4",         "cmbEventLogging", "Led1",
        "lblServiceStatus", "cbExit",         "StatusBar1",      "Timer1",
        "MainMenu1",        "PopupMenu1",
    };
    for (const char* name : names) QVERIFY2(form.findChild<QObject*>(name) != nullptr, name);
    QVERIFY(qobject_cast<TLedAuto*>(Find(form, "Led1")) != nullptr);
    QCOMPARE(Find<QLabel>(form, "Label1")->text(), QString("Message Threads"));
    QCOMPARE(Find<QLabel>(form, "Label5")->text(), QString("Message Delivery Attempts"));
    QCOMPARE(Find<QLabel>(form, "Label2")->text(), QString("Message Directory:"));
    QCOMPARE(Find<QLabel>(form, "Label4")->text(), QString("Event Logging:"));
    QCOMPARE(Find<QCheckBox>(form, "cbDebugLog")->text(), QString("Debug Logging:"));
    QCOMPARE(Find<QPushButton>(form, "cbExit")->text(), QString("Exit"));
    QCOMPARE(Find<QTimer>(form, "Timer1")->interval(), 1000);
    QVERIFY(Find<QTimer>(form, "Timer1")->isActive());
    QCOMPARE(Find<QLabel>(form, "lblServiceStatus")->text(), QString());

    auto* threads = Find<QSlider>(form, "TrackBar1");
    QCOMPARE(threads->minimum(), 5);
    QCOMPARE(threads->maximum(), 15);
    QCOMPARE(threads->tickPosition(), QSlider::TicksBelow);
    auto* attempts = Find<QSlider>(form, "TrackBar2");
    QCOMPARE(attempts->minimum(), 1);
    QCOMPARE(attempts->maximum(), 100);
    auto* logging = Find<QComboBox>(form, "cmbEventLogging");
    QVERIFY(!logging->isEditable());
    QCOMPARE(logging->count(), 2);
    QCOMPARE(logging->itemText(0), QString("Message Log"));
    QCOMPARE(logging->itemText(1), QString("NT Event Log"));

    QCOMPARE(Find<QToolButton>(form, "cbLoad")->toolTip(), QString("Read Registry Settings"));
    QCOMPARE(Find<QToolButton>(form, "cbSaveSettings")->toolTip(),
             QString("Update Registry Settings"));
    QCOMPARE(Find<QToolButton>(form, "cbStartService")->toolTip(),
             QString("Start Larkpost Service"));
    QCOMPARE(Find<QToolButton>(form, "cbStopService")->toolTip(), QString("Stop Larkpost Service"));
    QVERIFY(Find<QAction>(form, "ToolbarSep972")->isSeparator());
  }

  void theWindowIsFixedCentredAndCaptioned() {
    TForm1 form({});
    QCOMPARE(form.windowTitle(), QString("Larkpost Configuration v1.2"));
    QCOMPARE(form.size(), QSize(572, 338));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(form.geometry().center(), form.screen()->availableGeometry().center());
  }

  void theMenusHoldTheirEntries() {
    TForm1 form({});
    auto texts = [](QMenu* menu) {
      QStringList list;
      for (QAction* action : menu->actions())
        list << (action->isSeparator() ? "-" : action->text());
      return list;
    };
    auto* main = Find<QMenu>(form, "MainMenu1");
    QCOMPARE(texts(main), QStringList({"&File", "&Service", "&Help"}));
    QCOMPARE(texts(main->actions()[0]->menu()),
             QStringList({"&Read Registry Settings", "&Update Registry Settings", "-", "&Exit"}));
    QCOMPARE(texts(main->actions()[1]->menu()), QStringList({"&Start", "S&top"}));
    QCOMPARE(texts(main->actions()[2]->menu()), QStringList({"&About"}));
    QCOMPARE(texts(Find<QMenu>(form, "PopupMenu1")),
             QStringList({"&File Toolbar", "&Button Toolbar", "-", "Exit"}));
    QVERIFY(form.menuWidget() == nullptr);
    auto* bar = Find<QToolBar>(form, "MainMenu971");
    QCOMPARE(bar->windowTitle(), QString("Larkpost Config"));
    QCOMPARE(Find<QToolBar>(form, "Toolbar971")->windowTitle(), QString("Larkpost Config"));
    QStringList buttons;
    for (auto* button : bar->findChildren<QToolButton*>(Qt::FindDirectChildrenOnly)) {
      if (button->menu() != nullptr) buttons << button->text();
    }
    QCOMPARE(buttons, QStringList({"&File", "&Service", "&Help"}));
  }

  void theBarsDockAtEverySideAndHide() {
    TForm1 form({});
    form.show();
    auto* menuBar = Find<QToolBar>(form, "MainMenu971");
    auto* toolbar = Find<QToolBar>(form, "Toolbar971");
    for (QToolBar* bar : {menuBar, toolbar}) {
      QCOMPARE(bar->allowedAreas(), Qt::AllToolBarAreas);
      QVERIFY(bar->isMovable());
    }
    auto bars = [&](const char* dock) { return Find<TDockArea>(form, dock)->Bars(); };
    QCOMPARE(bars("Dock971").size(), 2);
    const std::pair<Qt::ToolBarArea, const char*> sides[] = {
        {Qt::BottomToolBarArea, "Dock972"},
        {Qt::LeftToolBarArea, "Dock973"},
        {Qt::RightToolBarArea, "Dock974"},
        {Qt::TopToolBarArea, "Dock971"},
    };
    for (auto [area, dock] : sides) {
      form.addToolBar(area, toolbar);
      QVERIFY2(bars(dock).contains(toolbar), dock);
    }

    auto* popup = Find<QMenu>(form, "PopupMenu1");
    popup->actions()[0]->trigger();
    QVERIFY(menuBar->isHidden());
    popup->actions()[0]->trigger();
    QVERIFY(!menuBar->isHidden());
    popup->actions()[1]->trigger();
    QVERIFY(toolbar->isHidden());
  }

  void everyExitClosesTheWindow_data() {
    QTest::addColumn<int>("way");
    QTest::newRow("button") << 0;
    QTest::newRow("file menu") << 1;
    QTest::newRow("context menu") << 2;
  }
  void everyExitClosesTheWindow() {
    QFETCH(int, way);
    TForm1 form({});
    form.show();
    if (way == 0) Click(form, "cbExit");
    if (way == 1) Find<QMenu>(form, "MainMenu1")->actions()[0]->menu()->actions()[3]->trigger();
    if (way == 2) Find<QMenu>(form, "PopupMenu1")->actions()[3]->trigger();
    QVERIFY(!form.isVisible());
    QVERIFY(!Find<QTimer>(form, "Timer1")->isActive());
  }

  void showsTheStoredSettings_data() {
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("shownThreads");
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("shownRetries");
    QTest::addColumn<QString>("eventLogging");
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("parameter");
    QTest::addColumn<bool>("debugShown");
    QTest::newRow("in range") << 12 << 12 << 7 << 7 << "NT Event Log" << 1 << "-d" << true;
    QTest::newRow("below") << 3 << 5 << 0 << 1 << "Message Log" << 0 << "-D" << false;
    QTest::newRow("above") << 20 << 15 << 150 << 100 << "Both" << -1 << "" << false;
    QTest::newRow("other text") << 10 << 10 << 5 << 5 << "nt event log" << 0 << "-d" << true;
  }
  void showsTheStoredSettings() {
    QFETCH(int, threads);
    QFETCH(int, shownThreads);
    QFETCH(int, retries);
    QFETCH(int, shownRetries);
    QFETCH(QString, eventLogging);
    QFETCH(int, entry);
    QFETCH(QString, parameter);
    QFETCH(bool, debugShown);
    // Longer than the classic path limit, which must not cut it.
    const std::string quePath = "/srv/" + std::string(300, 'q');
    StoreString("QuePath", quePath);
    StoreInteger("Threads", threads);
    StoreInteger("MaxMsgRetries", retries);
    StoreString("EventLogging", eventLogging.toStdString());
    StoreInteger("DebugLogging", 1);

    TForm1 form(parameter.isEmpty() ? QStringList() : QStringList{parameter});
    QCOMPARE(Find<QLineEdit>(form, "edtMessageDir")->text(), QString::fromStdString(quePath));
    QCOMPARE(Find<QSlider>(form, "TrackBar1")->value(), shownThreads);
    QCOMPARE(Find<QLabel>(form, "Label3")->text(), QString::number(shownThreads));
    QCOMPARE(Find<QSlider>(form, "TrackBar2")->value(), shownRetries);
    QCOMPARE(Find<QLabel>(form, "lblDeliveryAttempts")->text(), QString::number(shownRetries));
    QCOMPARE(Find<QComboBox>(form, "cmbEventLogging")->currentIndex(), entry);
    QCOMPARE(Find<QCheckBox>(form, "cbDebugLog")->isVisibleTo(&form), debugShown);
    QVERIFY(Find<QCheckBox>(form, "cbDebugLog")->isChecked());
  }

  void theLabelsFollowTheSlidersAndReloadRestores() {
    StoreInteger("Threads", 8);
    TForm1 form({});
    Find<QSlider>(form, "TrackBar1")->setValue(11);
    QCOMPARE(Find<QLabel>(form, "Label3")->text(), QString("11"));
    Find<QSlider>(form, "TrackBar2")->setValue(42);
    QCOMPARE(Find<QLabel>(form, "lblDeliveryAttempts")->text(), QString("42"));
    Click(form, "cbLoad");
    QCOMPARE(Find<QSlider>(form, "TrackBar1")->value(), 8);
    QCOMPARE(Find<QLabel>(form, "Label3")->text(), QString("8"));
    QCOMPARE(Find<QLabel>(form, "lblDeliveryAttempts")->text(), QString("5"));
  }

  void refusesAQueueDirectoryThatCannotServe_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("left");
    const char* invalid = " is invalid. You must create a queue directory.";
    const char* missing = " does not exist. Please correct and retry.";
    QTest::newRow("root") << "/" << QString("Directory ") + invalid << "";
    QTest::newRow("short") << "/q" << QString("Directory /q") + invalid << "/q";
    QTest::newRow("empty") << "" << QString("Directory ") + invalid << "";
    QTest::newRow("relative") << "queue/dir" << QString("Directory queue/dir") + invalid
                              << "queue/dir";
    QTest::newRow("missing") << "%Q/none/" << QString("Directory %Q/none") + missing << "%Q/none";
    QTest::newRow("pasted") << " \t%Q/none/ \n"
                            << QString("Directory %Q/none") + missing << "%Q/none";
    QTest::newRow("a file") << "%Q/file" << QString("Directory %Q/file") + missing << "%Q/file";
  }
  void refusesAQueueDirectoryThatCannotServe() {
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QFETCH(QString, left);
    const QString queue = QString::fromStdString(queue_->Path());
    queue_->WriteFile("file", "");
    TForm1 form({});
    MessageBoxAnswerer boxes;
    Find<QLineEdit>(form, "edtMessageDir")->setText(typed.replace("%Q", queue));
    QVERIFY(!form.ValidateAndApply());
    QCOMPARE(boxes.OnlyText(), message.replace("%Q", queue));
    QCOMPARE(boxes.Boxes().front().Icon, QMessageBox::Critical);
    QCOMPARE(Find<QLineEdit>(form, "edtMessageDir")->text(), left.replace("%Q", queue));
    QVERIFY(!StoredString("QuePath"));
    QVERIFY(!fs::exists(settings::FailedPathOf(queue_->Path())));
  }

  // Stored values the window cannot show keep their stored form unless the user changed them.
  void aSaveWritesBackWhatTheUserLeftAlone() {
    const std::string queue = queue_->Path();
    StoreString("QuePath", queue);
    StoreInteger("Threads", 3);
    StoreInteger("DebugLogging", 1);
    StoreString("EventLogging", "Both");
    StoreString("RemoteHosts", "relay.example");
    TForm1 form({});
    MessageBoxAnswerer boxes(QMessageBox::No);
    Find<QLineEdit>(form, "edtMessageDir")->setText(QString::fromStdString(queue + "//"));
    Click(form, "cbSaveSettings");
    QCOMPARE(boxes.OnlyText(),
             QString("Would you like to restart the Larkpost service to use new parameters?"));
    QCOMPARE(boxes.Boxes().front().Icon, QMessageBox::Question);
    QCOMPARE(Find<QLineEdit>(form, "edtMessageDir")->text(), QString::fromStdString(queue + "/"));
    QCOMPARE(StoredString("QuePath"), std::optional(queue + "/"));
    QCOMPARE(StoredInteger("Threads"), std::optional(3));
    QCOMPARE(StoredString("EventLogging"), std::optional<std::string>("Both"));
    QCOMPARE(StoredInteger("DebugLogging"), std::optional(1));
    QCOMPARE(StoredInteger("MaxMsgRetries"), std::optional(5));
    QCOMPARE(StoredString("RemoteHosts"), std::optional<std::string>("relay.example"));

    Find<QSlider>(form, "TrackBar1")->setValue(7);
    Find<QSlider>(form, "TrackBar2")->setValue(9);
    Find<QComboBox>(form, "cmbEventLogging")->setCurrentIndex(1);
    QVERIFY(form.ValidateAndApply());
    QCOMPARE(StoredInteger("Threads"), std::optional(7));
    QCOMPARE(StoredInteger("MaxMsgRetries"), std::optional(9));
    QCOMPARE(StoredString("EventLogging"), std::optional<std::string>("NT Event Log"));
  }

  void theFailedDirectoryTakesTheQueueDirectorysOwnerAndMode() {
    const fs::path queue = fs::path(queue_->Path()) / std::string(120, 'a') / std::string(120, 'b');
    fs::create_directories(queue);
    fs::permissions(queue,
                    fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read |
                        fs::perms::others_exec | fs::perms::set_gid,
                    fs::perm_options::replace);
    // A queue owned by the user the service runs as; the window runs as root.
    QCOMPARE(QProcess::execute("chown", {"nobody", QString::fromStdString(queue.string())}), 0);
    TForm1 form({});
    MessageBoxAnswerer boxes;
    Find<QLineEdit>(form, "edtMessageDir")->setText(QString::fromStdString(queue.string()));
    QVERIFY(form.ValidateAndApply());
    QVERIFY(boxes.Boxes().isEmpty());
    const fs::path failed = queue / "Failed";
    QVERIFY(fs::is_directory(failed));
    QCOMPARE(fs::status(failed).permissions(), fs::status(queue).permissions());
    const QFileInfo made(QString::fromStdString(failed.string()));
    const QFileInfo model(QString::fromStdString(queue.string()));
    QCOMPARE(made.ownerId(), model.ownerId());
    QCOMPARE(made.groupId(), model.groupId());
    QCOMPARE(StoredString("QuePath"), std::optional(queue.string()));
  }

  void aFailedDirectoryThatCannotBeMadeStopsTheSave() {
    queue_->WriteFile("Failed", "a file in the way");
    TForm1 form({});
    MessageBoxAnswerer boxes;
    Find<QLineEdit>(form, "edtMessageDir")->setText(QString::fromStdString(queue_->Path()));
    QVERIFY(!form.ValidateAndApply());
    QVERIFY2(boxes.OnlyText().startsWith(QString::fromStdString(
                 "Directory " + (*queue_ / "Failed") + " could not be created: ")),
             qPrintable(boxes.OnlyText()));
    QVERIFY(!StoredString("QuePath"));
  }

  void aHiveThatCannotBeWrittenIsReportedAndTheFieldsKept() {
    fs::create_directories(root_->HivePath());  // a directory where the hive file belongs
    TForm1 form({});
    MessageBoxAnswerer boxes;
    const QString queue = QString::fromStdString(queue_->Path());
    Find<QLineEdit>(form, "edtMessageDir")->setText(queue);
    Find<QSlider>(form, "TrackBar2")->setValue(33);
    QVERIFY(!form.ValidateAndApply());
    QVERIFY2(boxes.OnlyText().startsWith("The settings could not be saved: "),
             qPrintable(boxes.OnlyText()));
    QCOMPARE(Find<QLineEdit>(form, "edtMessageDir")->text(), queue);
    QCOMPARE(Find<QSlider>(form, "TrackBar2")->value(), 33);
  }

  void theBrowserCreatesADirectoryOnceConfirmed() {
    TForm1 form({});
    form.show();
    const std::string wanted = *queue_ / "new/queue";
    MessageBoxAnswerer boxes(QMessageBox::Yes);
    QTimer::singleShot(50, &form, [&] {
      auto* chooser = form.findChild<TDirectoryChooser*>();
      QVERIFY(chooser != nullptr);
      // Typed by the user, as the name of a directory that does not exist yet.
      chooser->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(wanted));
      chooser->accept();
    });
    Click(form, "OvcAttachedButton1");
    QVERIFY(fs::is_directory(wanted));
    QCOMPARE(Find<QLineEdit>(form, "edtMessageDir")->text(), QString::fromStdString(wanted));
    QCOMPARE(boxes.Boxes().size(), 1);
  }

  void theBrowserChangesNothingWhenCancelled() {
    TForm1 form({});
    form.show();
    Find<QLineEdit>(form, "edtMessageDir")->setText("/as/typed");
    QTimer::singleShot(50, &form, [&] { form.findChild<TDirectoryChooser*>()->reject(); });
    Click(form, "OvcAttachedButton1");
    QCOMPARE(Find<QLineEdit>(form, "edtMessageDir")->text(), QString("/as/typed"));
  }

  void eachControlShowsItsHelpText() {
    TForm1 form({"-d"});
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    const std::pair<const char*, const char*> texts[] = {
        {"TrackBar1", "  Defaults to 10 but raise if required"},
        {"edtMessageDir", "  Enter Message Queue Path"},
        {"cbExit", "  Exits configuration utility"},
        {"OvcAttachedButton1", "  Enter Message Queue Path"},
        {"cbDebugLog", "  Saves additional debug information to the debug log"},
        {"cmbEventLogging", "  Saves message status information to the message/NT Event log"},
        {"TrackBar2", "  Set the max times to attempt message delivery (suggested=5)."},
    };
    for (auto [control, text] : texts) {
      Find<QWidget>(form, control)->setFocus(Qt::TabFocusReason);
      QCOMPARE(Hint(form), QString(text));
    }
    Find<QWidget>(form, "Label1")->setFocus();
    QCOMPARE(Hint(form), QString(texts[std::size(texts) - 1].second));
  }

  void tabGoesThroughTheSettingsOnlyFromTheThreads() {
    TForm1 form({});
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QStringList visited;
    for (int i = 0; i < 7; ++i, QTest::keyClick(&form, Qt::Key_Tab)) {
      visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({"TrackBar1", "TrackBar2", "edtMessageDir", "OvcAttachedButton1",
                                   "cmbEventLogging", "cbExit", "TrackBar1"}));
  }

  void aLongHelpTextIsElidedToThePanelAgainOnResize() {
    TForm1 form({});
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto* panel = Find<QLabel>(form, "HintPanel");
    for (int width : {panel->width(), 120}) {
      panel->resize(width, panel->height());
      Find<QWidget>(form, "cmbEventLogging")->setFocus();
      QCOMPARE(panel->text(), panel->fontMetrics().elidedText(Hint(form), Qt::ElideRight, width));
    }
    QCOMPARE(Hint(form), QString("  Saves message status information to the message/NT Event log"));
  }

  void theClockShowsTheLocalDateAndTime() {
    TForm1 form({});
    const QString clock = Find<QLabel>(form, "ClockPanel")->text();
    QVERIFY2(
        QRegularExpression(R"(^[A-Z][a-z]+ \d\d, \d{4} \d\d:\d\d:\d\d  $)").match(clock).hasMatch(),
        qPrintable(clock));
    QCOMPARE(Find<QLabel>(form, "ClockPanel")->width(), 200);
  }

  void theAboutBoxNamesTheProgram() {
    TForm1 form({});
    MessageBoxAnswerer boxes;
    Find<QMenu>(form, "MainMenu1")->actions()[2]->menu()->actions()[0]->trigger();
    QVERIFY(boxes.OnlyText().startsWith("Larkpost Config\n"));
    QCOMPARE(boxes.Boxes().front().Icon, QMessageBox::Information);
  }

  void wrensetAnswersItsOptionsWithoutADisplay() {
    const std::tuple<QStringList, int, const char*, const char*> runs[] = {
        {{"--help"}, 0, "\nUsage: wrenset [-d]", ""},
        {{"--version"}, 0, "wrenset 1.2\n", ""},
        {{"-d", "--bogus"}, 2, "", "wrenset: unknown option '--bogus'\nwrenset - "},
        {{}, 1, "", "wrenset: there is no display"},
    };
    for (const auto& [options, code, out, err] : runs) {
      QProcess wrenset;
      wrenset.setProcessEnvironment(QProcessEnvironment());  // no display, no platform
      wrenset.start(LARKPOST_WRENSET, options);
      QVERIFY(wrenset.waitForFinished(60000));
      QCOMPARE(wrenset.exitCode(), code);
      const QString printed = wrenset.readAllStandardOutput();
      const QString complained = wrenset.readAllStandardError();
      QVERIFY2(*out ? printed.contains(out) : printed.isEmpty(), qPrintable(printed));
      QVERIFY2(*err ? complained.startsWith(err) : complained.isEmpty(), qPrintable(complained));
    }
  }

  void wrensetWritesAScreenshot() {
    const QString file = QString::fromStdString(*queue_ / "window.png");
    QProcess wrenset;
    wrenset.start(LARKPOST_WRENSET, {"-d", "--screenshot", file});
    QVERIFY(wrenset.waitForFinished(60000));
    QCOMPARE(wrenset.exitCode(), 0);
    QImage shot(file);
    QCOMPARE(shot.size(), QSize(572, 338));
    const QString kept = LARKPOST_SCREENSHOT_DIR "/wrenset.png";
    QFile::remove(kept);
    QVERIFY(QFile::copy(file, kept));
  }

 private:
  std::unique_ptr<testing_support::MachineRoot> root_;
  std::unique_ptr<testing_support::TempDir> queue_;
};

QTEST_MAIN(FormTest)
#include "frmConfig_test.moc"
