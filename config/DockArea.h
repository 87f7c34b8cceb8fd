// One of the four sides of the settings window where its menu bar and toolbar may dock. The
// window keeps which bar is where; this names each side so that tests and accessibility tools
// find it like every other control.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QObject>
#include <QToolBar>

namespace config {

class TDockArea : public QObject {
  Q_OBJECT

 public:
  TDockArea(QMainWindow& window, Qt::ToolBarArea area, const char* name)
      : QObject(&window), window_(window), area_(area) {
    setObjectName(name);
  }

  Qt::ToolBarArea Area() const { return area_; }

  // The visible or hidden bars docked here.
  QList<QToolBar*> Bars() const {
    QList<QToolBar*> bars;
    for (QToolBar* bar : window_.findChildren<QToolBar*>()) {
      if (window_.toolBarArea(bar) == area_) bars.append(bar);
    }
    return bars;
  }

 private:
  QMainWindow& window_;
  Qt::ToolBarArea area_;
};

}  // namespace config
