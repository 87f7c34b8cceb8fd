// TForm1, the settings window of wrenset: it shows the service's settings, validates and saves
// them, restarts, starts and stops the service, and shows its state with a light, a text and a
// clock. Every control carries its given name as its object name.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QStringList>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <memory>
#include <string>

#include "config/LedAuto.h"
#include "config/ServiceDisplay.h"

namespace config {

inline constexpr const char* kProgramTitle = "Larkpost Configuration";

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  // `parameters` are the program's command-line parameters after its name; "-d" first shows the
  // debug logging switch.
  explicit TForm1(const QStringList& parameters, QWidget* parent = nullptr);
  ~TForm1() override;

  // Loads the settings into the controls.
  void ShowSettings();
  // Checks the queue directory, copies the controls into the settings, makes the Failed
  // directory and saves; false, after saying why, when any of it fails.
  bool ValidateAndApply();
  // The work of each timer tick: the clock and the service's state.
  void Timer1Timer();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateToolbars();
  void CreateControls();
  void CreateStatusBar();
  void AddToolButton(QToolBar& bar, const char* name, QAction* action);
  void SetHelpText(QWidget* control, const char* text);
  void ShowHint(const QString& text);
  void ElideHint();

  void UpdateLabels();
  void UpdateClock();
  void SaveAndRestart();
  void StartService();
  void Browse();
  void About();
  void SetBusy(bool busy);
  void ShowError(const std::string& text);
  bool Refuse(const std::string& quePath, const char* reason);

  QAction* actLoad_ = nullptr;
  QAction* actSave_ = nullptr;
  QAction* actExit_ = nullptr;
  QAction* actStart_ = nullptr;
  QAction* actStop_ = nullptr;
  QAction* actAbout_ = nullptr;
  QAction* actPopupExit_ = nullptr;

  QMenu* MainMenu1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QToolBar* MainMenu971 = nullptr;
  QToolBar* Toolbar971 = nullptr;
  QSlider* TrackBar1 = nullptr;
  QLabel* Label3 = nullptr;
  QCheckBox* cbDebugLog = nullptr;
  QSlider* TrackBar2 = nullptr;
  QLabel* lblDeliveryAttempts = nullptr;
  QLineEdit* edtMessageDir = nullptr;
  QToolButton* OvcAttachedButton1 = nullptr;
  QComboBox* cmbEventLogging = nullptr;
  TLedAuto* Led1 = nullptr;
  QLabel* lblServiceStatus = nullptr;
  QPushButton* cbExit = nullptr;
  QLabel* clockPanel_ = nullptr;
  QLabel* hintPanel_ = nullptr;
  QTimer* Timer1 = nullptr;

  std::unique_ptr<TServiceDisplay> display_;
  QHash<QObject*, QString> helpTexts_;
  QString hint_;
  bool loading_ = false;
  // The stored Threads may lie outside the slider's range; it is written back unchanged unless
  // the user moved the slider.
  bool threadsMoved_ = false;
  bool busy_ = false;
  bool closePending_ = false;
};

}  // namespace config
