// TLedAuto, the settings window's status light: the lamp picture "GENERICLED" with its lamp drawn
// in one colour of the light's tables, lit or not, on its parent's background.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include "config/LedColors.h"

namespace config {

class TLedAuto : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool AutoSelectColor READ AutoSelectColor WRITE SetAutoSelectColor)
  Q_PROPERTY(config::TLedOnColors LedOnColor READ LedOnColor WRITE SetLedOnColor)
  Q_PROPERTY(config::TLedOffColors LedOffColor READ LedOffColor WRITE SetLedOffColor)
  Q_PROPERTY(config::TLedStatus LedStatus READ LedStatus WRITE SetLedStatus)
  Q_PROPERTY(config::TLedType LedType READ LedType WRITE SetLedType)
  Q_PROPERTY(QString Descrip READ Descrip WRITE SetDescrip)
  Q_PROPERTY(int Bus READ Bus WRITE SetBus)
  Q_PROPERTY(int Value READ Value WRITE SetValue)
  Q_PROPERTY(QString Group READ Group WRITE SetGroup)
  Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)

 public:
  explicit TLedAuto(QWidget* parent = nullptr);

  bool AutoSelectColor() const { return autoSelectColor_; }
  void SetAutoSelectColor(bool value) { autoSelectColor_ = value; }
  TLedOnColors LedOnColor() const { return ledOnColor_; }
  void SetLedOnColor(TLedOnColors value);
  TLedOffColors LedOffColor() const { return ledOffColor_; }
  void SetLedOffColor(TLedOffColors value);
  TLedStatus LedStatus() const { return ledStatus_; }
  void SetLedStatus(TLedStatus value);
  TLedType LedType() const { return ledType_; }
  void SetLedType(TLedType value);

  QString Descrip() const { return descrip_; }
  void SetDescrip(const QString& value) { descrip_ = value; }
  int Bus() const { return bus_; }
  void SetBus(int value) { bus_ = value; }
  int Value() const { return value_; }
  void SetValue(int value) { value_ = value; }
  QString Group() const { return group_; }
  void SetGroup(const QString& value) { group_ = value; }
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool value) { showHint_ = value; }

  // What a click does: notify, then toggle the lamp when the light is an output.
  void Click();

  QSize sizeHint() const override { return picture_.size(); }

 signals:
  void OnClick();

 protected:
  bool event(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage picture_;
  bool autoSelectColor_ = true;
  TLedOnColors ledOnColor_ = lcRed;
  TLedOffColors ledOffColor_ = lcMaroon;
  TLedStatus ledStatus_ = lsOff;
  TLedType ledType_ = ltOut;
  QString descrip_;
  int bus_ = 128;
  int value_ = 0;
  QString group_;
  bool showHint_ = true;  // a Qt widget shows its tooltip unless told otherwise
};

}  // namespace config
