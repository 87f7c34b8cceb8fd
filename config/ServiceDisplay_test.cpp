// The service state display: the light's colour and the text for every state the control
// manager reports, a dead or unreachable service, and a steady state left alone.
#include "config/ServiceDisplay.h"

#include <QLabel>
#include <QTest>
#include <memory>

#include "config/ContrLarkq.h"
#include "config/TestService.h"
#include "testing/TempDir.h"

using namespace config;
using config_testing::TestService;

namespace {

constexpr QRgb kRed = qRgb(255, 0, 0);
constexpr QRgb kMaroon = qRgb(128, 0, 0);
constexpr QRgb kLime = qRgb(0, 255, 0);
constexpr QRgb kGreen = qRgb(0, 128, 0);
constexpr QRgb kYellow = qRgb(255, 255, 0);
constexpr QRgb kOlive = qRgb(128, 128, 0);

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

// The window's part of the display: a light and a status label on one parent.
struct Window {
  Window() : led(&parent), text(&parent), display(led, text) {}
  QRgb Seen() { return led.grab().toImage().pixel(7, 7) | 0xff000000u; }

  QWidget parent;
  TLedAuto led;
  QLabel text;
  TServiceDisplay display;
};

// Delivers every repaint that has been asked for.
void Flush() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

}  // namespace

class ServiceDisplayTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { root_ = std::make_unique<testing_support::MachineRoot>(); }
  void cleanup() { root_.reset(); }

  void aRemovedServiceShowsOliveAndSaysItIsNotInstalled() {
    TestService service;
    Window window;
    window.display.Refresh();
    QCOMPARE(window.text.text(), QString("The Service is Stopped."));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE larkpost = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    QVERIFY(DeleteService(larkpost));
    CloseServiceHandle(larkpost);
    CloseServiceHandle(manager);
    window.display.Refresh();
    QCOMPARE(window.display.LastState(), DWORD{SERVICE_CONTINUE_PENDING});
    QCOMPARE(window.led.LedOnColor(), lcYellow);
    QCOMPARE(window.led.LedStatus(), lsOff);
    QCOMPARE(window.Seen(), kOlive);
    QCOMPARE(window.text.text(), QString("The Service is not Installed."));
  }

  void anUnreadableServiceDatabaseShowsOliveAndNoText() {
    root_->WriteHive("this is no registry hive\n");
    Window window;
    window.display.Refresh();
    QCOMPARE(window.display.LastState(), DWORD{SERVICE_CONTINUE_PENDING});
    QCOMPARE(window.Seen(), kOlive);
    QCOMPARE(window.text.text(), QString());
  }

  // One service walked through every state; the pending states of pausing and continuing keep
  // the text of the state before them.
  void everyStateHasItsLightAndText() {
    struct Step {
      DWORD state;
      TLedOnColors onColor;
      TLedStatus status;
      QRgb seen;
      const char* text;
    };
    const Step steps[] = {
        {SERVICE_START_PENDING, lcLime, lsOff, kGreen, "The Service is Starting."},
        {SERVICE_RUNNING, lcLime, lsOn, kLime, "The Service is Running."},
        {SERVICE_CONTINUE_PENDING, lcYellow, lsOff, kOlive, "The Service is Running."},
        {SERVICE_PAUSED, lcYellow, lsOn, kYellow, "The Service is Paused."},
        {SERVICE_PAUSE_PENDING, lcYellow, lsOff, kOlive, "The Service is Paused."},
        {SERVICE_STOP_PENDING, lcRed, lsOff, kMaroon, "The Service is Stopping."},
        {SERVICE_STOPPED, lcRed, lsOn, kRed, "The Service is Stopped."},
    };
    TestService service;
    service.SetState(SERVICE_START_PENDING);
    RequestStart();
    Window window;
    for (const Step& step : steps) {
      service.SetState(step.state);
      QVERIFY(service.Reaches(step.state));
      window.display.Refresh();
      const QByteArray where = "state " + QByteArray::number(step.state);
      QVERIFY2(window.display.LastState() == step.state, where);
      QVERIFY2(window.led.LedOnColor() == step.onColor, where);
      QVERIFY2(window.led.LedStatus() == step.status, where);
      QVERIFY2(window.Seen() == step.seen, where);
      QVERIFY2(window.text.text() == step.text, where);
    }
  }

  void aServiceWhoseProcessDiedReadsStopped() {
    TestService service;
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    Window window;
    window.display.Refresh();
    QCOMPARE(window.Seen(), kLime);
    service.SetState(0);
    QVERIFY(service.Reaches(SERVICE_STOPPED));
    window.display.Refresh();
    QCOMPARE(window.led.LedStatus(), lsOn);
    QCOMPARE(window.Seen(), kRed);
    QCOMPARE(window.text.text(), QString("The Service is Stopped."));
  }

  // A steady state neither repaints the light nor rewrites the text, so a click on the light
  // and an edit of the text both last until the state changes.
  void aSteadyStateIsLeftAlone() {
    TestService service;
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    Window window;
    window.parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window.parent));
    PaintCounter paints;
    window.led.installEventFilter(&paints);

    window.display.Refresh();
    Flush();
    QVERIFY(paints.count > 0);

    window.led.Click();
    window.text.setText("edited");
    Flush();
    paints.count = 0;
    window.display.Refresh();
    window.display.Refresh();
    Flush();
    QCOMPARE(paints.count, 0);
    QCOMPARE(window.led.LedStatus(), lsOff);
    QCOMPARE(window.text.text(), QString("edited"));

    service.SetState(SERVICE_PAUSED);
    QVERIFY(service.Reaches(SERVICE_PAUSED));
    window.display.Refresh();
    QCOMPARE(window.led.LedStatus(), lsOn);
    QCOMPARE(window.text.text(), QString("The Service is Paused."));
  }

 private:
  std::unique_ptr<testing_support::MachineRoot> root_;
};

QTEST_MAIN(ServiceDisplayTest)
#include "ServiceDisplay_test.moc"
