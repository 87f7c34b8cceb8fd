// The window run by a user who may not write the settings: as_user_test.sh runs this program as
// an unprivileged user against a machine root that root owns, with QuePath already set there.
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <cstdlib>

#include "config/MessageBoxAnswerer.h"
#include "config/frmConfig.h"

using namespace config;
using namespace config_testing;

class AsUserTest : public QObject {
  Q_OBJECT

 private slots:
  void savingSaysWhyAndKeepsWhatWasTyped() {
    const char* queue = std::getenv("LARKPOST_TEST_QUEUE");
    QVERIFY(queue != nullptr);
    TForm1 form({});
    MessageBoxAnswerer boxes;
    auto* directory = form.findChild<QLineEdit*>("edtMessageDir");
    auto* attempts = form.findChild<QSlider*>("TrackBar2");
    QVERIFY(directory != nullptr && attempts != nullptr);
    QCOMPARE(directory->text(), QString(queue));  // the stored settings can be read
    attempts->setValue(42);
    QVERIFY(!form.ValidateAndApply());
    QCOMPARE(boxes.OnlyText(), QString("The settings could not be saved: Access is denied."));
    QCOMPARE(directory->text(), QString(queue));
    QCOMPARE(attempts->value(), 42);

    // Starting saves first, so it stops at the same place and starts nothing.
    boxes.Clear();
    form.findChild<QAbstractButton*>("cbStartService")->click();
    QCOMPARE(boxes.OnlyText(), QString("The settings could not be saved: Access is denied."));
    QCOMPARE(attempts->value(), 42);
  }
};

QTEST_MAIN(AsUserTest)
#include "frmConfigAsUser_test.moc"
