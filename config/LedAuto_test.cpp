// The status light: its picture, published properties, colour partners, painting, size and click.
#include "config/LedAuto.h"

#include <QHelpEvent>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

using namespace config;

namespace {

constexpr QRgb kOlive = qRgb(128, 128, 0);
constexpr QRgb kMaroon = qRgb(128, 0, 0);
constexpr QRgb kParentBackground = qRgb(10, 20, 30);
const QPoint kLampCentre(7, 7);

bool InLampSquare(int x, int y) { return x >= 5 && x < 10 && y >= 5 && y < 10; }

QImage Picture() { return QImage(":/GENERICLED").convertToFormat(QImage::Format_RGB32); }

// A light on a parent whose background no picture colour shares.
struct LitScene {
  LitScene() : led(&parent) {
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(kParentBackground));
    parent.setPalette(palette);
  }
  QImage Painted() { return led.grab().toImage().convertToFormat(QImage::Format_RGB32); }

  QWidget parent;
  TLedAuto led;
};

}  // namespace

class LedAutoTest : public QObject {
  Q_OBJECT

 private slots:
  void pictureIsALampInAKeyedBackground() {
    QImage raw(":/GENERICLED");
    QCOMPARE(raw.size(), QSize(15, 15));
    QVERIFY(raw.colorCount() > 0 && raw.colorCount() <= 16);
    QImage picture = Picture();
    for (QPoint corner : {QPoint(0, 0), QPoint(14, 0), QPoint(0, 14), QPoint(14, 14)}) {
      QCOMPARE(picture.pixel(corner), kOlive);
    }
    QCOMPARE(picture.pixel(kLampCentre), kMaroon);
    for (int y = 0; y < 15; ++y) {
      for (int x = 0; x < 15; ++x) {
        if (picture.pixel(x, y) == kMaroon) QVERIFY2(InLampSquare(x, y), "lamp key outside");
      }
    }
  }

  void publishedPropertiesHaveTheirDefaults() {
    TLedAuto led;
    QCOMPARE(led.property("AutoSelectColor").toBool(), true);
    QCOMPARE(led.property("LedOnColor").value<TLedOnColors>(), lcRed);
    QCOMPARE(led.property("LedOffColor").value<TLedOffColors>(), lcMaroon);
    QCOMPARE(led.property("LedStatus").value<TLedStatus>(), lsOff);
    QCOMPARE(led.property("LedType").value<TLedType>(), ltOut);
    QCOMPARE(led.property("Descrip").toString(), QString());
    QCOMPARE(led.property("Bus").toInt(), 128);
    QCOMPARE(led.property("Value").toInt(), 0);
    QCOMPARE(led.property("Group").toString(), QString());
    QCOMPARE(led.property("ShowHint").toBool(), true);
  }

  void eachColourChoosesItsPartner() {
    TLedAuto led;
    QVERIFY(led.setProperty("LedOffColor", QVariant::fromValue(lcNavy)));
    QCOMPARE(led.LedOnColor(), lcBlue);
    led.SetLedOnColor(lcAqua);
    QCOMPARE(led.LedOffColor(), lcTeal);
    led.SetLedOnColor(lcSilver);
    QCOMPARE(led.LedOffColor(), lcBlack);
    led.SetLedOffColor(lcGray);
    QCOMPARE(led.LedOnColor(), lcWhite);

    led.SetAutoSelectColor(false);
    led.SetLedOnColor(lcYellow);
    QCOMPARE(led.LedOffColor(), lcGray);
    led.SetLedOffColor(lcGreen);
    QCOMPARE(led.LedOnColor(), lcYellow);
  }

  void paintReplacesTheKeys_data() {
    QTest::addColumn<TLedOnColors>("onColor");
    QTest::addColumn<TLedStatus>("status");
    QTest::addColumn<QRgb>("seen");
    QTest::newRow("lit lime") << lcLime << lsOn << qRgb(0, 255, 0);
    QTest::newRow("dark lime") << lcLime << lsOff << qRgb(0, 128, 0);
    QTest::newRow("lit red") << lcRed << lsOn << qRgb(255, 0, 0);
    QTest::newRow("dark red") << lcRed << lsOff << kMaroon;
    QTest::newRow("dark yellow") << lcYellow << lsOff << kOlive;
    QTest::newRow("lit white") << lcWhite << lsOn << qRgb(255, 255, 255);
  }

  void paintReplacesTheKeys() {
    QFETCH(TLedOnColors, onColor);
    QFETCH(TLedStatus, status);
    QFETCH(QRgb, seen);
    LitScene scene;
    scene.led.SetLedOnColor(onColor);
    scene.led.SetLedStatus(status);
    QImage painted = scene.Painted();
    QImage picture = Picture();
    QCOMPARE(painted.size(), picture.size());
    for (int y = 0; y < 15; ++y) {
      for (int x = 0; x < 15; ++x) {
        QRgb original = picture.pixel(x, y);
        QRgb expected = original == kOlive                          ? kParentBackground
                        : original == kMaroon && InLampSquare(x, y) ? seen
                                                                    : original;
        QVERIFY2(
            painted.pixel(x, y) == expected,
            qPrintable(QString("pixel %1,%2 is %3").arg(x).arg(y).arg(painted.pixel(x, y), 0, 16)));
      }
    }
    QCOMPARE(painted.pixel(kLampCentre), seen);
  }

  void sizeIsAlwaysThePicture() {
    TLedAuto led;
    QCOMPARE(led.size(), QSize(15, 15));
    led.resize(40, 30);
    QCOMPARE(led.size(), QSize(15, 15));
    QCOMPARE(led.sizeHint(), QSize(15, 15));
  }

  void clickNotifiesAndTogglesAnOutputOnce() {
    TLedAuto led;
    QSignalSpy clicks(&led, &TLedAuto::OnClick);
    QTest::mouseClick(&led, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(led.LedStatus(), lsOn);
    QTest::mouseClick(&led, Qt::LeftButton);
    QCOMPARE(clicks.count(), 2);
    QCOMPARE(led.LedStatus(), lsOff);

    led.SetLedType(ltIn);
    QTest::mouseClick(&led, Qt::LeftButton);
    QCOMPARE(clicks.count(), 3);
    QCOMPARE(led.LedStatus(), lsOff);
  }

  void showHintSwitchesTheTooltip() {
    LitScene scene;
    scene.parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&scene.parent));
    scene.led.setToolTip("Service state");
    auto ask = [&] {
      QHelpEvent help(QEvent::ToolTip, QPoint(7, 7), scene.led.mapToGlobal(QPoint(7, 7)));
      QApplication::sendEvent(&scene.led, &help);
    };
    scene.led.SetShowHint(false);
    ask();
    QVERIFY(!QToolTip::isVisible());
    scene.led.SetShowHint(true);
    ask();
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString("Service state"));
    QToolTip::hideText();
  }
};

QTEST_MAIN(LedAutoTest)
#include "LedAuto_test.moc"
