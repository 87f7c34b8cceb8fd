// The queue directory chooser: picks an existing directory, or one the user types that does not
// exist yet, which it creates with its missing parents once the user confirms.
#pragma once

#include <QFileDialog>

namespace config {

class TDirectoryChooser : public QFileDialog {
  Q_OBJECT

 public:
  TDirectoryChooser(QWidget* parent, const QString& start);

  // The chosen directory, once the dialog was accepted.
  QString Chosen() const { return selectedFiles().value(0); }

  void accept() override;
};

}  // namespace config
