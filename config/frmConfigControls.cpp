// The settings window's controls, menus, bars and status bar, each under its given name.
#include <QFrame>
#include <QHBoxLayout>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>

#include "config/ContrLarkq.h"
#include "config/DockArea.h"
#include "config/frmConfig.h"

namespace config {
namespace {

constexpr int kMenuBarHeight = 19;
constexpr int kClockPanelWidth = 200;

QFrame* AddGroup(QWidget& parent, QVBoxLayout& column, const char* name) {
  auto* group = new QFrame(&parent);
  group->setObjectName(name);
  group->setFrameShape(QFrame::StyledPanel);
  group->setFrameShadow(QFrame::Raised);
  auto* row = new QHBoxLayout(group);
  row->setContentsMargins(8, 3, 8, 3);
  column.addWidget(group);
  return group;
}

template <class Widget>
Widget* Add(QFrame& group, const char* name, Widget* widget, int stretch = 0) {
  widget->setObjectName(name);
  static_cast<QHBoxLayout*>(group.layout())->addWidget(widget, stretch);
  return widget;
}

QLabel* BoldNumber(QWidget* parent) {
  auto* label = new QLabel(parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  label->setMinimumWidth(28);
  return label;
}

QSlider* Slider(QWidget* parent, int low, int high) {
  auto* slider = new QSlider(Qt::Horizontal, parent);
  slider->setRange(low, high);
  slider->setSingleStep(1);
  slider->setPageStep(1);
  slider->setTickPosition(QSlider::TicksBelow);
  slider->setTickInterval(1);
  return slider;
}

}  // namespace

void TForm1::CreateActions() {
  auto make = [this](const char* text, const char* hint, QStyle::StandardPixmap icon) {
    auto* action = new QAction(style()->standardIcon(icon), text, this);
    if (hint != nullptr) action->setToolTip(hint);
    return action;
  };
  actLoad_ = make("&Read Registry Settings", "Read Registry Settings", QStyle::SP_BrowserReload);
  actSave_ =
      make("&Update Registry Settings", "Update Registry Settings", QStyle::SP_DialogSaveButton);
  actExit_ = make("&Exit", nullptr, QStyle::SP_DialogCloseButton);
  actStart_ = make("&Start", "Start Larkpost Service", QStyle::SP_MediaPlay);
  actStop_ = make("S&top", "Stop Larkpost Service", QStyle::SP_MediaStop);
  actAbout_ = make("&About", nullptr, QStyle::SP_MessageBoxInformation);
  connect(actLoad_, &QAction::triggered, this, &TForm1::ShowSettings);
  connect(actSave_, &QAction::triggered, this, &TForm1::SaveAndRestart);
  connect(actExit_, &QAction::triggered, this, &QWidget::close);
  connect(actStart_, &QAction::triggered, this, &TForm1::StartService);
  connect(actStop_, &QAction::triggered, this, [] { RequestStop(); });
  connect(actAbout_, &QAction::triggered, this, &TForm1::About);
}

void TForm1::CreateMenus() {
  MainMenu1 = new QMenu(this);
  MainMenu1->setObjectName("MainMenu1");
  QMenu* file = MainMenu1->addMenu("&File");
  file->addAction(actLoad_);
  file->addAction(actSave_);
  file->addSeparator();
  file->addAction(actExit_);
  QMenu* service = MainMenu1->addMenu("&Service");
  service->addAction(actStart_);
  service->addAction(actStop_);
  MainMenu1->addMenu("&Help")->addAction(actAbout_);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  QAction* fileToolbar = PopupMenu1->addAction("&File Toolbar");
  QAction* buttonToolbar = PopupMenu1->addAction("&Button Toolbar");
  PopupMenu1->addSeparator();
  actPopupExit_ = PopupMenu1->addAction("Exit");
  connect(fileToolbar, &QAction::triggered, this,
          [this] { MainMenu971->setVisible(!MainMenu971->isVisible()); });
  connect(buttonToolbar, &QAction::triggered, this,
          [this] { Toolbar971->setVisible(!Toolbar971->isVisible()); });
  connect(actPopupExit_, &QAction::triggered, this, &QWidget::close);
}

void TForm1::AddToolButton(QToolBar& bar, const char* name, QAction* action) {
  auto* button = new QToolButton(&bar);
  button->setObjectName(name);
  button->setDefaultAction(action);
  button->setFocusPolicy(Qt::NoFocus);
  bar.addWidget(button);
}

void TForm1::CreateToolbars() {
  new TDockArea(*this, Qt::TopToolBarArea, "Dock971");
  new TDockArea(*this, Qt::BottomToolBarArea, "Dock972");
  new TDockArea(*this, Qt::LeftToolBarArea, "Dock973");
  new TDockArea(*this, Qt::RightToolBarArea, "Dock974");

  // The main menu as a row of drop-down buttons, so that it docks like the toolbar.
  MainMenu971 = new QToolBar("Larkpost Config", this);
  MainMenu971->setObjectName("MainMenu971");
  // Drop-down buttons that read as menu titles, without the arrow of a button menu.
  MainMenu971->setStyleSheet("QToolButton::menu-indicator { image: none; width: 0px; }");
  for (QAction* menu : MainMenu1->actions()) {
    auto* button = new QToolButton(MainMenu971);
    button->setText(menu->text());
    button->setMenu(menu->menu());
    button->setPopupMode(QToolButton::InstantPopup);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setFixedHeight(kMenuBarHeight);
    // The menus open by their Alt mnemonics and hold every toolbar command: as tab stops, these
    // buttons and the toolbar's only stood in the way of the first setting.
    button->setFocusPolicy(Qt::NoFocus);
    MainMenu971->addWidget(button);
  }
  addToolBar(Qt::TopToolBarArea, MainMenu971);
  addToolBarBreak(Qt::TopToolBarArea);

  Toolbar971 = new QToolBar("Larkpost Config", this);
  Toolbar971->setObjectName("Toolbar971");
  AddToolButton(*Toolbar971, "cbLoad", actLoad_);
  AddToolButton(*Toolbar971, "cbSaveSettings", actSave_);
  Toolbar971->addSeparator()->setObjectName("ToolbarSep972");
  AddToolButton(*Toolbar971, "cbStartService", actStart_);
  AddToolButton(*Toolbar971, "cbStopService", actStop_);
  addToolBar(Qt::TopToolBarArea, Toolbar971);
}

void TForm1::CreateControls() {
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(6, 4, 6, 4);
  column->setSpacing(6);

  QFrame* threads = AddGroup(*central, *column, "Panel1");
  Add(*threads, "Label1", new QLabel("Message Threads", threads));
  TrackBar1 = Add(*threads, "TrackBar1", Slider(threads, 5, 15), 1);
  Label3 = Add(*threads, "Label3", BoldNumber(threads));
  cbDebugLog = Add(*threads, "cbDebugLog", new QCheckBox("Debug Logging:", threads));
  cbDebugLog->setLayoutDirection(Qt::RightToLeft);
  cbDebugLog->setVisible(false);

  QFrame* attempts = AddGroup(*central, *column, "Panel4");
  Add(*attempts, "Label5", new QLabel("Message Delivery Attempts", attempts));
  TrackBar2 = Add(*attempts, "TrackBar2", Slider(attempts, 1, 100), 1);
  lblDeliveryAttempts = Add(*attempts, "lblDeliveryAttempts", BoldNumber(attempts));

  QFrame* directory = AddGroup(*central, *column, "Panel2");
  auto* directoryRow = static_cast<QHBoxLayout*>(directory->layout());
  directoryRow->setSpacing(0);  // the browse button sits on the field's right end
  Add(*directory, "Label2", new QLabel("Message Directory:", directory));
  directoryRow->addSpacing(6);
  edtMessageDir = Add(*directory, "edtMessageDir", new QLineEdit(directory), 1);
  // The field's own limit, far above any path the platform allows: a loaded value is never cut.
  edtMessageDir->setMaxLength(32767);
  OvcAttachedButton1 = Add(*directory, "OvcAttachedButton1", new QToolButton(directory));
  OvcAttachedButton1->setText("...");
  OvcAttachedButton1->setFocusPolicy(Qt::StrongFocus);

  QFrame* logging = AddGroup(*central, *column, "Panel3");
  Add(*logging, "Label4", new QLabel("Event Logging:", logging));
  cmbEventLogging = Add(*logging, "cmbEventLogging", new QComboBox(logging));
  cmbEventLogging->addItems({"Message Log", "NT Event Log"});
  static_cast<QHBoxLayout*>(logging->layout())->addSpacing(24);
  Led1 = Add(*logging, "Led1", new TLedAuto(logging));
  lblServiceStatus = Add(*logging, "lblServiceStatus", new QLabel(logging), 1);

  auto* exitRow = new QHBoxLayout;
  exitRow->addStretch(1);
  cbExit = new QPushButton("Exit", central);
  cbExit->setObjectName("cbExit");
  connect(cbExit, &QPushButton::clicked, this, &QWidget::close);
  exitRow->addWidget(cbExit);
  column->addLayout(exitRow);
  setCentralWidget(central);

  connect(TrackBar1, &QSlider::valueChanged, this, [this] {
    if (!loading_) threadsMoved_ = true;
    UpdateLabels();
  });
  connect(TrackBar2, &QSlider::valueChanged, this,
          [this](int value) { lblDeliveryAttempts->setNum(value); });
  connect(OvcAttachedButton1, &QToolButton::clicked, this, &TForm1::Browse);

  SetHelpText(TrackBar1, "  Defaults to 10 but raise if required");
  SetHelpText(edtMessageDir, "  Enter Message Queue Path");
  SetHelpText(OvcAttachedButton1, "  Enter Message Queue Path");
  SetHelpText(cbExit, "  Exits configuration utility");
  SetHelpText(cbDebugLog, "  Saves additional debug information to the debug log");
  SetHelpText(cmbEventLogging, "  Saves message status information to the message/NT Event log");
  SetHelpText(TrackBar2, "  Set the max times to attempt message delivery (suggested=5).");
}

void TForm1::CreateStatusBar() {
  auto* bar = new QStatusBar(this);
  bar->setObjectName("StatusBar1");
  bar->setSizeGripEnabled(false);
  clockPanel_ = new QLabel(bar);
  clockPanel_->setObjectName("ClockPanel");
  clockPanel_->setFixedWidth(kClockPanelWidth);
  clockPanel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  hintPanel_ = new QLabel(bar);
  hintPanel_->setObjectName("HintPanel");
  // Its width is what the clock leaves, never what its text asks for: the text is elided to it.
  hintPanel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  hintPanel_->installEventFilter(this);
  bar->addWidget(clockPanel_);
  bar->addWidget(hintPanel_, 1);
  setStatusBar(bar);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
}

void TForm1::SetHelpText(QWidget* control, const char* text) {
  helpTexts_.insert(control, text);
  control->installEventFilter(this);
}

}  // namespace config
