#include "config/MessageBoxAnswerer.h"

#include <QAbstractButton>
#include <QApplication>

namespace config_testing {

MessageBoxAnswerer::MessageBoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
  timer_.setInterval(10);
  connect(&timer_, &QTimer::timeout, this, &MessageBoxAnswerer::Answer);
  timer_.start();
}

QString MessageBoxAnswerer::OnlyText() const {
  if (boxes_.size() == 1) return boxes_.front().Text;
  QString seen = QString::number(boxes_.size()) + " boxes:";
  for (const Seen& box : boxes_) seen += " [" + box.Text + "]";
  return seen;
}

void MessageBoxAnswerer::Answer() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box == nullptr || !box->isVisible()) continue;
    boxes_.append({box->icon(), box->text()});
    QAbstractButton* button = box->button(QMessageBox::Yes) != nullptr
                                  ? box->button(answer_)
                                  : box->button(QMessageBox::Ok);
    if (button != nullptr) button->click();
  }
}

}  // namespace config_testing
