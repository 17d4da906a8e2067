// Start-up: the command line, the application object, the "Glossy" look, the
// main window, the message loop.

#include <cstdio>

#include "DataFolder.h"
#include "StartConnection.h"
#include "StartOptions.h"
#include "Style.h"
#include "TApplication.h"
#include "VyrVersion.h"
#include "untMain.h"

int main(int argc, char **argv)
{
  // --help and --version answer before the toolkit starts, so they work
  // without a display.
  QStringList Args;
  for (int I = 1; I < argc; ++I)
    Args << QString::fromLocal8Bit(argv[I]);
  TStartOptions Options = ParseStartOptions(Args);
  if (Options.Help) {
    std::fputs(StartUsage(DataFolderFor(Options.DataDir)).toLocal8Bit().constData(), stdout);
    return 0;
  }
  if (Options.Version) {
    std::printf("vyr-mqtt %s\n", VyrVersion);
    return 0;
  }

  TApplication App(argc, argv);
  // Now without the toolkit's own options, which the application object took.
  Options = ParseStartOptions(App.arguments().mid(1));
  if (!Options.Error.isEmpty()) {
    std::fprintf(stderr, "vyr-mqtt: %s\nRun 'vyr-mqtt --help' for the options.\n",
                 Options.Error.toLocal8Bit().constData());
    return 2;
  }
  App.setApplicationName(QStringLiteral("vyr-mqtt"));
  // Desktops find the menu entry, and with it the icon, by this name.
  App.setDesktopFileName(QStringLiteral("vyr-mqtt"));
  ApplyStyle(QStringLiteral("Glossy"));
  TfrmMain Window;
  frmMain = &Window;
  Window.SetDataFolder(DataFolderFor(Options.DataDir));
  if (const QString Problem = ApplyStartOptions(Window, Options); !Problem.isEmpty()) {
    std::fprintf(stderr, "vyr-mqtt: %s\n", Problem.toLocal8Bit().constData());
    return 2;
  }
  Window.show();
  return App.exec();
}
