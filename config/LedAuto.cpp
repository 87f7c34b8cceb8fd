#include "config/LedAuto.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>

namespace config {
namespace {

constexpr QRgb kBackgroundKey = qRgb(128, 128, 0);
constexpr QRgb kLampKey = qRgb(128, 0, 0);
constexpr QRect kLampRect(QPoint(5, 5), QPoint(9, 9));

void ReplaceKey(QImage& image, const QRect& area, QRgb key, QRgb colour) {
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (image.pixel(x, y) == key) image.setPixel(x, y, colour);
    }
  }
}

}  // namespace

TLedAuto::TLedAuto(QWidget* parent)
    : QWidget(parent), picture_(QImage(":/GENERICLED").convertToFormat(QImage::Format_RGB32)) {
  // The light is exactly its picture, whatever a layout or a caller asks.
  setFixedSize(picture_.size());
}

// The partner colour is assigned directly rather than through its setter: the two setters
// calling each other would never end.
void TLedAuto::SetLedOnColor(TLedOnColors value) {
  ledOnColor_ = value;
  if (autoSelectColor_) ledOffColor_ = static_cast<TLedOffColors>(value);
  update();
}

void TLedAuto::SetLedOffColor(TLedOffColors value) {
  ledOffColor_ = value;
  if (autoSelectColor_) ledOnColor_ = static_cast<TLedOnColors>(value);
  update();
}

void TLedAuto::SetLedStatus(TLedStatus value) {
  if (value == ledStatus_) return;
  ledStatus_ = value;
  update();
}

void TLedAuto::SetLedType(TLedType value) {
  ledType_ = value;
  update();
}

// The lamp toggles once per click: lit follows LedStatus alone, so no second toggle can undo
// the first.
void TLedAuto::Click() {
  emit OnClick();
  if (ledType_ == ltOut) SetLedStatus(ledStatus_ == lsOn ? lsOff : lsOn);
}

bool TLedAuto::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip && !showHint_) {
    event->ignore();
    return true;
  }
  return QWidget::event(event);
}

void TLedAuto::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Click();
}

void TLedAuto::paintEvent(QPaintEvent*) {
  QWidget* owner = parentWidget() != nullptr ? parentWidget() : this;
  QImage image = picture_;
  ReplaceKey(image, image.rect(), kBackgroundKey,
             owner->palette().color(owner->backgroundRole()).rgb());
  ReplaceKey(image, kLampRect, kLampKey,
             ledStatus_ == lsOn ? kLedOnColors[ledOnColor_] : kLedOffColors[ledOffColor_]);
  QPainter(this).drawImage(0, 0, image);
}

}  // namespace config
