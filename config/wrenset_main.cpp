// wrenset, the settings window of the delivery service. "--screenshot FILE.png" renders the
// window, with the service's current state, into a PNG and exits: for documentation, and for
// checking the window where no display is at hand.
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QStringList>
#include <cstdio>

#include "config/frmConfig.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(config::kProgramTitle);
  // Read after QApplication took out the toolkit's own options.
  QStringList parameters;
  for (int i = 1; i < argc; ++i) parameters << QString::fromLocal8Bit(argv[i]);

  QString screenshot;
  if (qsizetype at = parameters.indexOf("--screenshot"); at >= 0) {
    if (at + 1 >= parameters.size()) {
      std::fputs("usage: wrenset [-d] [--screenshot FILE.png]\n", stderr);
      return 2;
    }
    screenshot = parameters.at(at + 1);
    parameters.remove(at, 2);
  }

  config::TForm1 form(parameters);
  if (screenshot.isEmpty()) {
    form.show();
    return QApplication::exec();
  }
  form.setAttribute(Qt::WA_DontShowOnScreen);
  form.show();
  form.Timer1Timer();
  QApplication::processEvents();
  if (!form.grab().toImage().save(screenshot, "PNG")) {
    std::fprintf(stderr, "wrenset: cannot write %s\n", screenshot.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}
