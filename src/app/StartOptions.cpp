#include "StartOptions.h"

TStartOptions ParseStartOptions(const QStringList &Args)
{
  TStartOptions Options;
  for (qsizetype I = 0; I < Args.size(); ++I) {
    const QString &Arg = Args[I];
    QString Error;
    if (Arg == u"--help") {
      Options.Help = true;
    } else if (Arg == u"--version") {
      Options.Version = true;
    } else if (Arg == u"--data-dir" || Arg.startsWith(u"--data-dir=")) {
      const bool Inline = Arg != u"--data-dir";
      if (Inline)
        Options.DataDir = Arg.mid(Arg.indexOf(u'=') + 1);
      else if (I + 1 < Args.size())
        Options.DataDir = Args[++I];
      if (Options.DataDir.isEmpty())
        Error = QStringLiteral("option --data-dir needs a folder");
    } else {
      Error = QStringLiteral("unknown option '%1'").arg(Arg);
    }
    // The first mistake is the one to report.
    if (Options.Error.isEmpty())
      Options.Error = Error;
  }
  return Options;
}

QString StartUsage(const QString &DataFolder)
{
  return QStringLiteral(R"(vyr-mqtt: desktop MQTT 3.1 client

Usage:
  vyr-mqtt [--data-dir DIR]
  vyr-mqtt --help | --version

Options:
      --data-dir DIR     write the data files of "Save data" to DIR (created
                         when the first line is saved)
      --help             print this help and exit
      --version          print the version and exit
The toolkit's own options (for example -style NAME) are accepted too.

Data files go beside the program when you may write to its folder and it is
not a system folder such as /usr/bin; otherwise to $XDG_DATA_HOME/vyr-mqtt
(~/.local/share/vyr-mqtt when that is unset).
With the options given they go to:
  %1

Exit codes:
  0  the window was closed, or --help or --version
  2  bad command line
)").arg(DataFolder);
}
