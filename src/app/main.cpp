// Start-up: the application object, the "Glossy" look, the main window, the
// message loop.

#include "Style.h"
#include "TApplication.h"
#include "untMain.h"

int main(int argc, char **argv)
{
  TApplication App(argc, argv);
  App.setApplicationName(QStringLiteral("vyr-mqtt"));
  App.setApplicationDisplayName(QStringLiteral("Vyr MQTT Client"));
  ApplyStyle(QStringLiteral("Glossy"));
  TfrmMain Window;
  frmMain = &Window;
  Window.show();
  return App.exec();
}
