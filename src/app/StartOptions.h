#pragma once
// Command line of the window: vyr-mqtt [--data-dir DIR] | --help | --version.
// The toolkit's own options (-style, -platform ...) are taken out by the
// application object before the strict parse.

#include <QString>
#include <QStringList>

struct TStartOptions {
  bool Help = false;    // print StartUsage() and exit 0
  bool Version = false; // print the version and exit 0
  QString DataDir;      // --data-dir; empty when not given
  QString Error;        // set when the command line is wrong
};

// Args excludes the program name.
TStartOptions ParseStartOptions(const QStringList &Args);
// The help text; DataFolder is where "Save data" writes with these options.
QString StartUsage(const QString &DataFolder);
