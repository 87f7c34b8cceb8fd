// Start, stop and query of the service "Larkpost" through the control manager of a fresh
// machine root, against the state probe.
#include "config/ContrLarkq.h"

#include <QTest>
#include <memory>

#include "config/TestService.h"
#include "testing/TempDir.h"

using namespace config;
using config_testing::TestService;

class ContrLarkqTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { root_ = std::make_unique<testing_support::MachineRoot>(); }
  void cleanup() { root_.reset(); }

  void aServiceNotInstalledReadsContinuePendingAndIgnoresRequests() {
    QCOMPARE(QueryState(), DWORD{SERVICE_CONTINUE_PENDING});
    RequestStart();
    QCOMPARE(RequestError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    RequestStop();
    QCOMPARE(RequestError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    QCOMPARE(QueryState(), DWORD{SERVICE_CONTINUE_PENDING});
  }

  void startsAStoppedServiceAndStopsARunningOne() {
    TestService service;
    QCOMPARE(QueryState(), DWORD{SERVICE_STOPPED});
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    QCOMPARE(service.Starts(), DWORD{1});
    QCOMPARE(QueryState(), DWORD{SERVICE_RUNNING});
    QCOMPARE(ServiceStatus().dwCurrentState, DWORD{SERVICE_RUNNING});

    RequestStop();
    QVERIFY(service.Reaches(SERVICE_STOPPED));
    QCOMPARE(service.Stops(), DWORD{1});
    QCOMPARE(QueryState(), DWORD{SERVICE_STOPPED});
  }

  void startsAgainAServiceWhoseProcessDied() {
    TestService service;
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    service.SetState(0);
    QVERIFY(service.Reaches(SERVICE_STOPPED));
    QCOMPARE(QueryState(), DWORD{SERVICE_STOPPED});
    service.SetState(SERVICE_RUNNING);
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    QCOMPARE(service.Starts(), DWORD{2});
  }

  // The probe accepts the stop in every state, so a stop sent out of turn would be counted.
  void sendsNoStopUnlessRunning_data() {
    QTest::addColumn<DWORD>("state");
    QTest::newRow("start pending") << DWORD{SERVICE_START_PENDING};
    QTest::newRow("continue pending") << DWORD{SERVICE_CONTINUE_PENDING};
    QTest::newRow("pause pending") << DWORD{SERVICE_PAUSE_PENDING};
    QTest::newRow("paused") << DWORD{SERVICE_PAUSED};
  }

  // A restart stops a paused service too, and only a running or paused one.
  void theRestartStopsARunningOrPausedService_data() {
    QTest::addColumn<DWORD>("state");
    QTest::addColumn<DWORD>("stops");
    QTest::newRow("running") << DWORD{SERVICE_RUNNING} << DWORD{1};
    QTest::newRow("paused") << DWORD{SERVICE_PAUSED} << DWORD{1};
    QTest::newRow("start pending") << DWORD{SERVICE_START_PENDING} << DWORD{0};
    QTest::newRow("pause pending") << DWORD{SERVICE_PAUSE_PENDING} << DWORD{0};
  }

  void theRestartStopsARunningOrPausedService() {
    QFETCH(DWORD, state);
    QFETCH(DWORD, stops);
    TestService service;
    service.SetState(state);
    RequestStart();
    QVERIFY(service.Reaches(state));
    RequestRestartStop();
    QCOMPARE(RequestError(), DWORD{ERROR_SUCCESS});
    QCOMPARE(service.Stops(), stops);
    if (stops != 0) QVERIFY(service.Reaches(SERVICE_STOPPED));
  }

  void sendsNoStopUnlessRunning() {
    QFETCH(DWORD, state);
    TestService service;
    RequestStart();
    QVERIFY(service.Reaches(SERVICE_RUNNING));
    service.SetState(state);
    QVERIFY(service.Reaches(state));
    RequestStop();
    QCOMPARE(service.Stops(), DWORD{0});
    QCOMPARE(ServiceStatus().dwCurrentState, state);
    QCOMPARE(QueryState(), state);
  }

 private:
  std::unique_ptr<testing_support::MachineRoot> root_;
};

QTEST_MAIN(ContrLarkqTest)
#include "ContrLarkq_test.moc"
