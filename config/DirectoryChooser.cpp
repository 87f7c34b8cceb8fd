#include "config/DirectoryChooser.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

namespace config {

TDirectoryChooser::TDirectoryChooser(QWidget* parent, const QString& start)
    : QFileDialog(parent, "Message Directory", start) {
  setObjectName("DirectoryChooser");
  setFileMode(QFileDialog::Directory);
  // The platform's own dialogs refuse a directory that does not exist yet.
  setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}

void TDirectoryChooser::accept() {
  const QString chosen = Chosen();
  if (!chosen.isEmpty() && !QFileInfo(chosen).exists()) {
    const QString path = QDir::toNativeSeparators(chosen);
    if (QMessageBox::question(this, windowTitle(),
                              "Directory " + path + " does not exist. Create it?") !=
        QMessageBox::Yes) {
      return;
    }
    if (!QDir().mkpath(chosen)) {
      QMessageBox::critical(this, windowTitle(), "Directory " + path + " could not be created.");
      return;
    }
  }
  QFileDialog::accept();
}

}  // namespace config
