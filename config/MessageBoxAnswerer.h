// Answers the settings window's message boxes for the tests, as a user would, and records what
// each one said: the window asks and reports through modal boxes that would otherwise wait for
// ever under the offscreen platform.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

namespace config_testing {

class MessageBoxAnswerer : public QObject {
 public:
  struct Seen {
    QMessageBox::Icon Icon;
    QString Text;
  };

  // Questions are answered with `answer`; every other box is confirmed.
  explicit MessageBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::No);

  void SetAnswer(QMessageBox::StandardButton answer) { answer_ = answer; }
  const QList<Seen>& Boxes() const { return boxes_; }
  // The text of the only box seen, or a description of what was seen instead.
  QString OnlyText() const;
  void Clear() { boxes_.clear(); }

 private:
  void Answer();

  QMessageBox::StandardButton answer_;
  QList<Seen> boxes_;
  QTimer timer_;
};

}  // namespace config_testing
