#include "config/frmConfig.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QMessageBox>
#include <QScreen>
#include <filesystem>
#include <system_error>

#include "config/ContrLarkq.h"
#include "config/DirectoryChooser.h"
#include "config/FailedDirectory.h"
#include "config/ServiceRestart.h"
#include "config/SettingsAccess.h"
#include "rtl/DateTime.h"
#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"

namespace config {
namespace {

constexpr int kWidth = 572;
constexpr int kHeight = 338;

QString Text(const std::string& text) { return QString::fromStdString(text); }

std::string Reason(DWORD error) { return rtl::SysErrorMessage(error); }

}  // namespace

TForm1::TForm1(const QStringList& parameters, QWidget* parent) : QMainWindow(parent) {
  setObjectName("Form1");
  setWindowTitle("Larkpost Configuration v1.2");
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  CreateActions();
  CreateMenus();
  CreateToolbars();
  CreateControls();
  CreateStatusBar();
  setFixedSize(kWidth, kHeight);
  if (QScreen* screen = this->screen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  display_ = std::make_unique<TServiceDisplay>(*Led1, *lblServiceStatus);

  lblServiceStatus->clear();
  if (parameters.value(0) == "-d") cbDebugLog->setVisible(true);
  ShowSettings();
  UpdateLabels();
  UpdateClock();
  Timer1->start();
  TrackBar1->setFocus();
}

TForm1::~TForm1() = default;

void TForm1::ShowSettings() {
  settings::LoadSettings();
  const settings::TSettings& s = settings::Settings();
  loading_ = true;
  edtMessageDir->setText(Text(s.QuePath));
  TrackBar1->setValue(s.Threads);
  TrackBar2->setValue(s.MaxMsgRetries);
  cbDebugLog->setChecked(s.DebugLogging);
  // "Both" has no entry of its own and shows as no selection.
  cmbEventLogging->setCurrentIndex(s.LogTarget < cmbEventLogging->count() ? s.LogTarget : -1);
  loading_ = false;
  threadsMoved_ = false;
  UpdateLabels();
}

bool TForm1::ValidateAndApply() {
  try {
    // A pasted path often brings blanks around it, which would name another directory.
    QString typed = edtMessageDir->text().trimmed();
    if (typed.endsWith(QChar(rtl::PathDelim))) typed.chop(1);
    if (typed != edtMessageDir->text()) edtMessageDir->setText(typed);
    const std::string quePath = typed.toStdString();
    // A relative path would be resolved against the service's own working directory.
    if (quePath.size() <= 3 || !QDir::isAbsolutePath(Text(quePath))) {
      return Refuse(quePath, " is invalid. You must create a queue directory.");
    }
    std::error_code error;
    if (!std::filesystem::is_directory(quePath, error)) {
      return Refuse(quePath, " does not exist. Please correct and retry.");
    }
    settings::TSettings& s = settings::Settings();
    s.QuePath = quePath;
    if (threadsMoved_) s.Threads = TrackBar1->value();
    s.DebugLogging = cbDebugLog->isChecked();
    s.MaxMsgRetries = TrackBar2->value();
    // With no selection the stored text, "Both", is kept.
    if (cmbEventLogging->currentIndex() >= 0) {
      s.EventLogging = cmbEventLogging->currentText().toStdString();
    }
    try {
      CreateFailedDirectory(quePath);
    } catch (const rtl::Exception& e) {
      ShowError("Directory " + settings::FailedPathOf(quePath) +
                " could not be created: " + e.Message());
      return false;
    }
    settings::SaveSettings();
    return true;
  } catch (const rtl::ERegistryException& e) {
    DWORD error = SettingsWriteError();
    ShowError("The settings could not be saved: " +
              (error != ERROR_SUCCESS ? Reason(error) : std::string(e.what())));
  } catch (const std::exception& e) {
    ShowError(std::string("The settings could not be saved: ") + e.what());
  }
  return false;
}

bool TForm1::Refuse(const std::string& quePath, const char* reason) {
  ShowError("Directory " + quePath + reason);
  return false;
}

void TForm1::Timer1Timer() {
  UpdateClock();
  display_->Refresh();
}

void TForm1::UpdateLabels() {
  Label3->setNum(TrackBar1->value());
  lblDeliveryAttempts->setNum(TrackBar2->value());
}

void TForm1::UpdateClock() {
  clockPanel_->setText(Text(rtl::FormatDateTime("mmmm dd, yyyy hh:mm:ss", rtl::Now()) + "  "));
}

void TForm1::SaveAndRestart() {
  if (busy_ || !ValidateAndApply()) return;
  if (QMessageBox::question(this, kProgramTitle,
                            "Would you like to restart the Larkpost service to use new "
                            "parameters?") != QMessageBox::Yes) {
    return;
  }
  SetBusy(true);
  const TRestartResult result = RestartService([] { QCoreApplication::processEvents(); });
  SetBusy(false);
  switch (result.Outcome) {
    case TRestartResult::roUpdated:
      QMessageBox::information(this, kProgramTitle, "The service was succesfully updated.");
      break;
    case TRestartResult::roNotStopped:
      ShowError("The Larkpost did not stop after a " + std::to_string(kRestartWaitSeconds) +
                " second delay. You probably need to restart the computer.");
      break;
    case TRestartResult::roCannotStop:
      ShowError("The settings were saved, but the Larkpost service cannot be restarted: " +
                Reason(result.Error));
      break;
    case TRestartResult::roNotStarted:
      ShowError("The settings were saved, but the Larkpost service did not start again: " +
                Reason(result.Error));
      break;
  }
  if (closePending_) close();
}

void TForm1::StartService() {
  if (busy_ || !ValidateAndApply()) return;
  RequestStart();
  if (RequestError() != ERROR_SUCCESS) {
    ShowError("The Larkpost service could not be started: " + Reason(RequestError()));
  }
}

void TForm1::Browse() {
  TDirectoryChooser chooser(this, edtMessageDir->text());
  if (chooser.exec() == QDialog::Accepted) {
    edtMessageDir->setText(QDir::toNativeSeparators(chooser.Chosen()));
  }
}

void TForm1::About() {
  QMessageBox::information(this, kProgramTitle,
                           "Larkpost Config\n"
                           "Version 1.2\n"
                           "Settings and control of the Larkpost mail-queue delivery service.");
}

// While the restart waits, a second save would nest another stop and start, and closing would
// destroy the window under the wait: the commands are off and a close waits for the end.
void TForm1::SetBusy(bool busy) {
  busy_ = busy;
  for (QAction* command : {actLoad_, actSave_, actExit_, actStart_, actStop_, actPopupExit_}) {
    command->setEnabled(!busy);
  }
  cbExit->setEnabled(!busy);
}

void TForm1::ShowError(const std::string& text) {
  QMessageBox::critical(this, kProgramTitle, Text(text));
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (busy_) {
    closePending_ = true;
    event->ignore();
    return;
  }
  Timer1->stop();
  event->accept();
}

void TForm1::contextMenuEvent(QContextMenuEvent* event) { PopupMenu1->popup(event->globalPos()); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) {
    auto text = helpTexts_.constFind(watched);
    if (text != helpTexts_.constEnd()) ShowHint(*text);
  } else if (watched == hintPanel_ && event->type() == QEvent::Resize) {
    ElideHint();
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::ShowHint(const QString& text) {
  hint_ = text;
  hintPanel_->setToolTip(text);
  ElideHint();
}

void TForm1::ElideHint() {
  hintPanel_->setText(hintPanel_->fontMetrics().elidedText(hint_, Qt::ElideRight,
                                                           hintPanel_->contentsRect().width()));
}

}  // namespace config
