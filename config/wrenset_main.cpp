// wrenset, the settings window of the delivery service. "--screenshot FILE.png" renders the
// window, with the service's current state, into a PNG and exits: for documentation, and for
// checking the window where no display is at hand.
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "config/frmConfig.h"

namespace {

constexpr const char* kUsage =
    "wrenset - the settings window of the Larkpost mail-queue delivery service\n"
    "\n"
    "Usage: wrenset [-d] [--screenshot FILE.png] [TOOLKIT OPTIONS]\n"
    "  or:  wrenset --help | --version\n"
    "\n"
    "The window edits the service's settings: the queue directory, the number of delivery\n"
    "threads, the delivery attempts and where outcomes are logged. Saving checks the queue\n"
    "directory, creates its Failed directory with the queue directory's owner and mode, and\n"
    "offers to restart the service. The window also starts and stops the Larkpost service and\n"
    "shows its state with a coloured light.\n"
    "\n"
    "Options:\n"
    "  -d                     also show the debug logging switch\n"
    "  --screenshot FILE.png  write the window, with the service's current state, to\n"
    "                         FILE.png and exit; needs no display\n"
    "  -h, --help             print this usage and exit\n"
    "  --version              print the version and exit\n"
    "\n"
    "Toolkit options are passed to Qt: -platform NAME, -display NAME, -style NAME,\n"
    "-stylesheet FILE, -geometry GEOMETRY, -reverse and the like.\n"
    "\n"
    "Settings live in the key HKLM\\SOFTWARE\\Quobex\\LRKP of the registry hive\n"
    "registry/HKEY_LOCAL_MACHINE.reg in the machine root: $LARKPOST_ROOT, else\n"
    "/var/lib/larkpost for root and, once it holds a hive, every user, else\n"
    "${XDG_STATE_HOME:-$HOME/.local/state}/larkpost.\n"
    "larkctl reg edits the same values.\n";

// Qt's own options, which QApplication takes out of the arguments.
constexpr std::string_view kToolkitOptionsWithValue[] = {
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
    "display",         "geometry",           "title",         "name",
    "style",           "stylesheet"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

bool Among(std::string_view name, const auto& names) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

struct Options {
  bool debug = false;
  QString screenshot;
  bool platformGiven = false;
};

std::optional<int> Refuse(const std::string& complaint) {
  std::fprintf(stderr, "wrenset: %s\n%s", complaint.c_str(), kUsage);
  return 2;
}

// The exit code when the arguments alone settle the run, as --help does or a mistake does: it
// is checked before QApplication exists, which without a display would abort.
std::optional<int> Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("wrenset " LARKPOST_VERSION);
      return 0;
    }
    if (arg == "-d") {
      options.debug = true;
      continue;
    }
    if (arg == "--screenshot") {
      if (++i == argc) return Refuse("--screenshot needs the name of a PNG file");
      options.screenshot = QString::fromLocal8Bit(argv[i]);
      continue;
    }
    std::string_view name = arg;
    if (name.starts_with("--")) name.remove_prefix(1);
    if (!name.starts_with("-")) return Refuse("unexpected argument '" + std::string(arg) + "'");
    name.remove_prefix(1);
    const std::size_t equals = name.find('=');
    const bool valueAttached = equals != std::string_view::npos;
    name = name.substr(0, equals);
    const bool takesValue = Among(name, kToolkitOptionsWithValue);
    if (!takesValue && !Among(name, kToolkitFlags)) {
      return Refuse("unknown option '" + std::string(arg) + "'");
    }
    if (takesValue && !valueAttached && ++i == argc) {
      return Refuse(std::string(arg) + " needs a value");
    }
    if (name == "platform") options.platformGiven = true;
  }
  return std::nullopt;
}

bool NoDisplay(const Options& options) {
  return !options.platformGiven && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
         qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (std::optional<int> code = Parse(argc, argv, options)) return *code;
  if (NoDisplay(options)) {
    if (options.screenshot.isEmpty()) {
      std::fputs("wrenset: there is no display to show the window on (DISPLAY is not set)\n",
                 stderr);
      return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(config::kProgramTitle);

  config::TForm1 form(options.debug ? QStringList{"-d"} : QStringList{});
  if (options.screenshot.isEmpty()) {
    form.show();
    return QApplication::exec();
  }
  form.setAttribute(Qt::WA_DontShowOnScreen);
  form.show();
  form.Timer1Timer();
  QApplication::processEvents();
  if (!form.grab().toImage().save(options.screenshot, "PNG")) {
    std::fprintf(stderr, "wrenset: cannot write %s\n",
                 options.screenshot.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}
