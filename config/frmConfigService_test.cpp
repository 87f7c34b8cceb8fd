// The settings window with the test service: a save's restart when the service runs, is
// stopped, is paused, will not stop, is not installed or dies at once; starting with an invalid
// and a valid directory; and a screenshot of the window in each service state.
#include <QLineEdit>
#include <QTest>
#include <memory>

#include "config/ContrLarkq.h"
#include "config/MessageBoxAnswerer.h"
#include "config/StoredSettings.h"
#include "config/TestService.h"
#include "config/frmConfig.h"
#include "settings/RegSet.h"
#include "testing/TempDir.h"

using namespace config;
using namespace config_testing;

namespace {

const QString kUpdated = "The service was succesfully updated.";

template <class T = QObject>
T* Find(const QWidget& form, const char* name) {
  T* found = form.findChild<T*>(name);
  if (found == nullptr) qFatal("no control %s", name);
  return found;
}

}  // namespace

class FormServiceTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    root_ = std::make_unique<testing_support::MachineRoot>();
    queue_ = std::make_unique<testing_support::TempDir>();
    settings::Settings() = settings::TSettings{};
    StoreString("QuePath", queue_->Path());
  }
  void cleanup() {
    queue_.reset();
    root_.reset();
  }

  // A paused service is stopped too: it would otherwise keep its old settings.
  void aSaveRestartsTheService_data() {
    QTest::addColumn<DWORD>("state");
    QTest::addColumn<DWORD>("stops");
    QTest::newRow("running") << DWORD{SERVICE_RUNNING} << DWORD{1};
    QTest::newRow("stopped") << DWORD{SERVICE_STOPPED} << DWORD{0};
    QTest::newRow("paused") << DWORD{SERVICE_PAUSED} << DWORD{1};
  }
  void aSaveRestartsTheService() {
    QFETCH(DWORD, state);
    QFETCH(DWORD, stops);
    TestService service;
    if (state != SERVICE_STOPPED) {
      service.SetState(state);
      RequestStart();
      QVERIFY(service.Reaches(state));
    }
    TForm1 form({});
    MessageBoxAnswerer boxes(QMessageBox::Yes);
    Find<QSlider>(form, "TrackBar2")->setValue(12);
    Find<QAbstractButton>(form, "cbSaveSettings")->click();
    QCOMPARE(boxes.Boxes().size(), 2);
    QCOMPARE(boxes.Boxes()[1].Text, kUpdated);
    QCOMPARE(boxes.Boxes()[1].Icon, QMessageBox::Information);
    QCOMPARE(service.Stops(), stops);
    QCOMPARE(service.Starts(), stops + 1);
    QVERIFY(service.Reaches(state == SERVICE_PAUSED ? SERVICE_PAUSED : SERVICE_RUNNING));
    QCOMPARE(StoredInteger("MaxMsgRetries"), std::optional(12));
  }

  void noRestartWhenTheUserDeclines() {
    TestService service;
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    TForm1 form({});
    MessageBoxAnswerer boxes(QMessageBox::No);
    Find<QAbstractButton>(form, "cbSaveSettings")->click();
    QCOMPARE(boxes.Boxes().size(), 1);
    QCOMPARE(service.Stops(), DWORD{0});
    QCOMPARE(StoredString("EventLogging"), std::optional<std::string>("Message Log"));
  }

  // The one test that waits the full stop wait. The commands are off while it runs, and a close
  // asked for meanwhile happens after it.
  void aServiceThatDoesNotStopFailsAfterTheWait() {
    TestService service;
    service.SetState(SERVICE_STOP_PENDING);
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_STOP_PENDING));
    TForm1 form({});
    form.show();
    MessageBoxAnswerer boxes(QMessageBox::Yes);
    bool saveEnabled = true, exitEnabled = true, closedAtOnce = true;
    QTimer::singleShot(1000, &form, [&] {
      saveEnabled = Find<QAbstractButton>(form, "cbSaveSettings")->isEnabled();
      exitEnabled = Find<QAbstractButton>(form, "cbExit")->isEnabled();
      Find<QAbstractButton>(form, "cbSaveSettings")->click();
      form.close();
      closedAtOnce = !form.isVisible();
    });
    Find<QAbstractButton>(form, "cbSaveSettings")->click();
    QVERIFY(!saveEnabled);
    QVERIFY(!exitEnabled);
    QVERIFY(!closedAtOnce);
    QCOMPARE(boxes.Boxes().size(), 2);
    QCOMPARE(boxes.Boxes()[1].Text,
             QString("The Larkpost did not stop after a 45 second delay. You probably need to "
                     "restart the computer."));
    QCOMPARE(boxes.Boxes()[1].Icon, QMessageBox::Critical);
    QCOMPARE(service.Starts(), DWORD{1});
    QVERIFY(!form.isVisible());
  }

  void aServiceNotInstalledIsSavedButNotAwaited() {
    TForm1 form({});
    MessageBoxAnswerer boxes(QMessageBox::Yes);
    Find<QSlider>(form, "TrackBar1")->setValue(6);
    Find<QAbstractButton>(form, "cbSaveSettings")->click();
    QCOMPARE(boxes.Boxes().size(), 2);
    QCOMPARE(boxes.Boxes()[1].Text,
             QString("The settings were saved, but the Larkpost service cannot be restarted: The "
                     "specified service does not exist as an installed service."));
    QCOMPARE(StoredInteger("Threads"), std::optional(6));
  }

  void aServiceThatDiesAtOnceIsNotReportedUpdated() {
    TestService service;
    service.SetState(0);
    TForm1 form({});
    MessageBoxAnswerer boxes(QMessageBox::Yes);
    Find<QAbstractButton>(form, "cbSaveSettings")->click();
    QCOMPARE(boxes.Boxes().size(), 2);
    const QString text = boxes.Boxes()[1].Text;
    const QString prefix =
        "The settings were saved, but the Larkpost service did not start again: ";
    QVERIFY2(text.startsWith(prefix) && text.size() > prefix.size(), qPrintable(text));
    QCOMPARE(service.Starts(), DWORD{1});
  }

  void startingSavesFirstAndRefusesAnInvalidDirectory() {
    TestService service;
    TForm1 form({});
    MessageBoxAnswerer boxes;
    Find<QLineEdit>(form, "edtMessageDir")->setText("/q");
    Find<QAbstractButton>(form, "cbStartService")->click();
    QCOMPARE(boxes.OnlyText(),
             QString("Directory /q is invalid. You must create a queue directory."));
    QCOMPARE(service.Starts(), DWORD{0});

    boxes.Clear();
    Find<QLineEdit>(form, "edtMessageDir")->setText(QString::fromStdString(queue_->Path() + "/"));
    Find<QSlider>(form, "TrackBar2")->setValue(77);
    Find<QAbstractButton>(form, "cbStartService")->click();
    QVERIFY(boxes.Boxes().isEmpty());
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    QCOMPARE(service.Starts(), DWORD{1});
    QCOMPARE(StoredInteger("MaxMsgRetries"), std::optional(77));
    QCOMPARE(StoredString("QuePath"), std::optional(queue_->Path()));

    Find<QAbstractButton>(form, "cbStopService")->click();
    QVERIFY(service.Reaches(SERVICE_STOPPED));
    QCOMPARE(service.Stops(), DWORD{1});
  }

  void startingWithoutTheServiceSaysWhy() {
    TForm1 form({});
    MessageBoxAnswerer boxes;
    Find<QAbstractButton>(form, "cbStartService")->click();
    QCOMPARE(boxes.OnlyText(),
             QString("The Larkpost service could not be started: The specified service does not "
                     "exist as an installed service."));
    QCOMPARE(StoredInteger("Threads"), std::optional(10));
  }

  // Left beside the test program for the README: the window in each state the light shows.
  void aScreenshotOfEachState() {
    struct Shot {
      DWORD state;
      const char* name;
      const char* text;
    };
    const Shot shots[] = {
        {SERVICE_START_PENDING, "starting", "The Service is Starting."},
        {SERVICE_RUNNING, "running", "The Service is Running."},
        {SERVICE_PAUSE_PENDING, "pausing", "The Service is Running."},
        {SERVICE_PAUSED, "paused", "The Service is Paused."},
        {SERVICE_CONTINUE_PENDING, "continuing", "The Service is Paused."},
        {SERVICE_STOP_PENDING, "stopping", "The Service is Stopping."},
        {SERVICE_STOPPED, "stopped", "The Service is Stopped."},
    };
    TestService service;
    service.SetState(SERVICE_START_PENDING);
    RequestStart();
    TForm1 form({"-d"});
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    for (const Shot& shot : shots) {
      service.SetState(shot.state);
      QVERIFY2(service.Reaches(shot.state), shot.name);
      form.Timer1Timer();
      QCOMPARE(Find<QLabel>(form, "lblServiceStatus")->text(), QString(shot.text));
      const QString file = QString(LARKPOST_SCREENSHOT_DIR "/wrenset-%1.png").arg(shot.name);
      QVERIFY2(form.grab().save(file, "PNG"), qPrintable(file));
      QCOMPARE(QImage(file).size(), QSize(572, 338));
    }
  }

 private:
  std::unique_ptr<testing_support::MachineRoot> root_;
  std::unique_ptr<testing_support::TempDir> queue_;
};

QTEST_MAIN(FormServiceTest)
#include "frmConfigService_test.moc"
