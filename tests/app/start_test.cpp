// The window program's command line, run as the real program: --help and
// --version without a display, the data folder it names for a copy in a
// writable and in a read-only folder, and mistakes.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "StartOptions.h"

namespace {

struct TRun {
  int ExitCode = -1;
  QString Out, Err;
};

TRun RunProgram(const QString &Program, const QStringList &Args, const QProcessEnvironment &Env)
{
  QProcess Process;
  Process.setProcessEnvironment(Env);
  // root may write anywhere; the read-only folder only holds for another user.
  if (::geteuid() == 0) {
    Process.setProgram(QStringLiteral("setpriv"));
    Process.setArguments(QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", Program} + Args);
  } else {
    Process.setProgram(Program);
    Process.setArguments(Args);
  }
  Process.start();
  TRun Result;
  if (!Process.waitForFinished(60000) || Process.exitStatus() != QProcess::NormalExit)
    return Result;
  Result.ExitCode = Process.exitCode();
  Result.Out = QString::fromLocal8Bit(Process.readAllStandardOutput());
  Result.Err = QString::fromLocal8Bit(Process.readAllStandardError());
  return Result;
}

// The folder that the help names for the data files.
QString NamedDataFolder(const QString &Help)
{
  const QString Lead = QStringLiteral("With the options given they go to:\n  ");
  const qsizetype At = Help.indexOf(Lead);
  if (At < 0)
    return QStringLiteral("<not named>");
  const qsizetype From = At + Lead.size();
  return Help.mid(From, Help.indexOf(u'\n', From) - From);
}

// A copy of the program in a folder of its own, with a home of its own.
struct TCopy {
  QTemporaryDir Root;
  QString Program;
  QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();

  explicit TCopy(bool ReadOnly)
  {
    // Another user must be able to reach the copy (setpriv above).
    ::chmod(QFile::encodeName(Root.path()).constData(), 0755);
    QDir(Root.path()).mkdir("bin");
    Program = Root.filePath("bin/vyr-mqtt");
    QFile::copy(VYR_MQTT_PROGRAM, Program);
    ::chmod(QFile::encodeName(Root.filePath("bin")).constData(), ReadOnly ? 0555 : 0777);
    Env.insert("HOME", Root.filePath("home"));
    Env.insert("XDG_DATA_HOME", Root.filePath("xdg"));
    Env.remove("DISPLAY");
    Env.remove("WAYLAND_DISPLAY");
    // Not the offscreen platform: --help and --version must not need one.
    Env.insert("QT_QPA_PLATFORM", "xcb");
    // The leak checker's settings may name files that another user cannot read.
    Env.insert("ASAN_OPTIONS", "detect_leaks=0");
    Env.remove("LSAN_OPTIONS");
  }
  // So that the temporary folder can be removed also by a user other than root.
  ~TCopy() { ::chmod(QFile::encodeName(Root.filePath("bin")).constData(), 0755); }
};

TEST(StartOptions, ParsedInOrderWithTheFirstMistakeReported)
{
  struct Case {
    QStringList Args;
    bool Help, Version;
    QString DataDir, Error;
  };
  const Case Cases[] = {
      {{}, false, false, "", ""},
      {{"--data-dir", "/d"}, false, false, "/d", ""},
      {{"--data-dir=/d"}, false, false, "/d", ""},
      {{"--data-dir", "/a", "--data-dir", "/b"}, false, false, "/b", ""},
      {{"--help", "--data-dir", "/d"}, true, false, "/d", ""},
      {{"--version"}, false, true, "", ""},
      {{"--data-dir"}, false, false, "", "option --data-dir needs a folder"},
      {{"--data-dir="}, false, false, "", "option --data-dir needs a folder"},
      {{"--bogus", "x"}, false, false, "", "unknown option '--bogus'"},
      {{"x", "--help"}, true, false, "", "unknown option 'x'"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Args.join(' ').toStdString());
    const TStartOptions Options = ParseStartOptions(C.Args);
    EXPECT_EQ(Options.Help, C.Help);
    EXPECT_EQ(Options.Version, C.Version);
    EXPECT_EQ(Options.DataDir.toStdString(), C.DataDir.toStdString());
    EXPECT_EQ(Options.Error.toStdString(), C.Error.toStdString());
  }
}

TEST(StartOptions, ConnectionOptionsParsed)
{
  const TStartOptions All = ParseStartOptions(
      {"--broker", "[::1]", "--port=8883", "--ssl", "yes", "--user", "u", "--client-id", "me", "--protocol", "3.1.1",
       "--cafile", "/ca.crt", "--capath", "/cas", "--cert", "/c.crt", "--key", "/c.key", "--ipv6",
       "--log-lines", "5000", "--proxy", "socks5h://al:pw@[::1]:1081", "--alpn", "mqtt", "--alpn=x-amzn-mqtt-ca"});
  EXPECT_EQ(All.Error.toStdString(), "");
  EXPECT_EQ(All.Broker.value_or("").toStdString(), "[::1]");
  EXPECT_EQ(All.Port.value_or("").toStdString(), "8883");
  EXPECT_EQ(All.Ssl, std::optional<bool>(true));
  EXPECT_EQ(All.User.value_or("").toStdString(), "u");
  EXPECT_EQ(All.ClientId.value_or("").toStdString(), "me");
  EXPECT_TRUE(All.Mqtt311);
  EXPECT_EQ(All.CaFile.toStdString(), "/ca.crt");
  EXPECT_EQ(All.CaPath.toStdString(), "/cas");
  EXPECT_EQ(All.CertFile.toStdString(), "/c.crt");
  EXPECT_EQ(All.KeyFile.toStdString(), "/c.key");
  EXPECT_TRUE(All.Ipv6);
  EXPECT_EQ(All.LogLines, std::optional<qsizetype>(5000));
  EXPECT_EQ(All.Proxy.Kind, TProxySettings::pkSocks5);
  EXPECT_TRUE(All.Proxy.RemoteResolve);
  EXPECT_EQ(All.Proxy.Host + " " + All.Proxy.Port + " " + All.Proxy.User + " " + All.Proxy.Password,
            "[::1] 1081 al pw");
  EXPECT_EQ(All.Alpn, QStringList({"mqtt", "x-amzn-mqtt-ca"}));
  EXPECT_EQ(ParseStartOptions({"--unix", "/run/m.sock"}).UnixPath.toStdString(), "/run/m.sock");
  const TStartOptions Http = ParseStartOptions({"--proxy", "http://h"});
  EXPECT_EQ(Http.Proxy.Kind, TProxySettings::pkHttp);
  EXPECT_EQ(Http.Proxy.Port, "1080");

  const TStartOptions Five = ParseStartOptions({"--protocol", "5", "--session-expiry=3600"});
  EXPECT_EQ(Five.Error.toStdString(), "");
  EXPECT_TRUE(Five.Mqtt5 && !Five.Mqtt311);
  EXPECT_EQ(Five.SessionExpiry, std::optional<qint64>(3600));

  const TStartOptions None = ParseStartOptions({});
  EXPECT_FALSE(None.Broker || None.Port || None.Ssl || None.User || None.ClientId);
  EXPECT_FALSE(None.Mqtt311 || None.Mqtt5 || None.SessionExpiry || None.Ipv6 || None.LogLines);
  EXPECT_TRUE(None.Proxy.Kind == TProxySettings::pkNone && None.Alpn.isEmpty() && None.UnixPath.isEmpty());

  const std::pair<QStringList, QString> Mistakes[] = {
      {{"--port", "0"}, "the port must be a whole number from 1 to 65535, not '0'"},
      {{"--port", "65536"}, "the port must be a whole number from 1 to 65535, not '65536'"},
      {{"--port", "+80"}, "the port must be a whole number from 1 to 65535, not '+80'"},
      {{"--ssl", "maybe"}, "--ssl takes yes or no, not 'maybe'"},
      {{"--protocol", "5.0"}, "--protocol takes 3.1, 3.1.1 or 5, not '5.0'"},
      {{"--session-expiry", "60"}, "--session-expiry applies to MQTT 5: add --protocol 5"},
      {{"--protocol", "5", "--session-expiry", "-1"},
       "--session-expiry takes a whole number of seconds from 0 to 4294967295, not '-1'"},
      {{"--protocol", "5", "--session-expiry", "4294967296"},
       "--session-expiry takes a whole number of seconds from 0 to 4294967295, not '4294967296'"},
      {{"--broker"}, "option --broker needs a value"},
      {{"--client-id="}, "option --client-id needs a value"},
      {{"--key", "/k"}, "--key needs the certificate it belongs to (--cert)"},
      {{"--ipv6=yes"}, "unknown option '--ipv6=yes'"},
      {{"--log-lines", "99"}, "--log-lines takes a whole number from 100 to 100000000, not '99'"},
      {{"--log-lines=1e6"}, "--log-lines takes a whole number from 100 to 100000000, not '1e6'"},
      // The same words as vyr-cli's.
      {{"--proxy", "ftp://h:1"}, "--proxy takes http://, socks5:// or socks5h:// URLs, not 'ftp://'"},
      {{"--proxy", "http://h:1/x"}, "--proxy http://h:1/x: a proxy URL has no path"},
      {{"--proxy", "h:1"}, "--proxy 'h:1' is not a URL of the form scheme://host[:port][/path]"},
      {{"--proxy", "socks5://h:0"}, "--proxy 'socks5://h:0': the port must be a number from 1 to 65535, not '0'"},
      {{"--alpn", ""}, "--alpn takes a protocol name of 1 to 255 characters"},
      {{"--alpn", QString(256, 'a')}, "--alpn takes a protocol name of 1 to 255 characters"},
      {{"--unix="}, "option --unix needs a value"},
      {{"--unix", "/m.sock", "--proxy", "http://h:1"}, "--unix and --proxy do not go together"},
  };
  for (const auto &[Args, Error] : Mistakes)
    EXPECT_EQ(ParseStartOptions(Args).Error.toStdString(), Error.toStdString()) << Args.join(' ').toStdString();
}

TEST(StartOptions, VersionAndHelpWithoutADisplay)
{
  TCopy Copy(false);
  const TRun Version = RunProgram(Copy.Program, {"--version"}, Copy.Env);
  EXPECT_EQ(Version.ExitCode, 0) << Version.Err.toStdString();
  EXPECT_EQ(Version.Out.toStdString(), std::string("vyr-mqtt ") + VYR_VERSION + "\n");
  EXPECT_EQ(Version.Err.toStdString(), "");

  const TRun Help = RunProgram(Copy.Program, {"--help"}, Copy.Env);
  EXPECT_EQ(Help.ExitCode, 0) << Help.Err.toStdString();
  for (const char *Text : {"--data-dir DIR", "--help", "--version", "Exit codes:", "$XDG_DATA_HOME/vyr-mqtt"})
    EXPECT_TRUE(Help.Out.contains(QLatin1String(Text))) << Text;
}

TEST(StartOptions, DataFolderBesideTheProgramOnlyWhenItIsWritable)
{
  struct Case {
    const char *What;
    bool ReadOnly;
    bool Xdg;
    QStringList Args;
    QString Folder; // relative to the copy's root
  };
  const Case Cases[] = {
      {"a writable program folder keeps the files beside the program", false, true, {}, "bin"},
      {"a read-only program folder sends them to the user's data folder", true, true, {}, "xdg/vyr-mqtt"},
      {"without XDG_DATA_HOME the user's data folder is under the home", true, false, {}, "home/.local/share/vyr-mqtt"},
      {"--data-dir wins over a writable program folder", false, true, {"--data-dir", "@/chosen"}, "chosen"},
      {"--data-dir wins over the user's data folder", true, true, {"--data-dir=@/chosen"}, "chosen"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    TCopy Copy(C.ReadOnly);
    if (!C.Xdg)
      Copy.Env.remove("XDG_DATA_HOME");
    QStringList Args = C.Args;
    Args.replaceInStrings("@", Copy.Root.path());
    const TRun Help = RunProgram(Copy.Program, Args << "--help", Copy.Env);
    ASSERT_EQ(Help.ExitCode, 0) << Help.Err.toStdString();
    EXPECT_EQ(NamedDataFolder(Help.Out).toStdString(), Copy.Root.filePath(C.Folder).toStdString());
    // Naming the folder does not create it.
    if (C.Folder != "bin") {
      EXPECT_FALSE(QFileInfo::exists(Copy.Root.filePath(C.Folder)));
    }
  }
}

TEST(StartOptions, MistakesExitWithTwoBeforeTheWindowOpens)
{
  TCopy Copy(false);
  Copy.Env.insert("QT_QPA_PLATFORM", "offscreen");
  for (const QStringList &Args : {QStringList{"--bogus"}, QStringList{"--data-dir"}}) {
    SCOPED_TRACE(Args.join(' ').toStdString());
    const TRun Result = RunProgram(Copy.Program, Args, Copy.Env);
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_TRUE(Result.Err.contains("Run 'vyr-mqtt --help' for the options.")) << Result.Err.toStdString();
    EXPECT_EQ(Result.Out.toStdString(), "");
  }
}

} // namespace
