// vyr-cli: a command-line MQTT 3.1 and 3.1.1 client (sub, pub and log) on TMQTTClient.

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <unistd.h>

#include "CliSession.h"
#include "VyrVersion.h"

namespace {

int SignalPipe[2] = {-1, -1};

// The byte says which: 1 ends the run, 2 (SIGHUP) reopens the data files.
void OnSignal(int sig) {
  char byte = sig == SIGHUP ? 2 : 1;
  [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char **argv) {
  // A closed standard input reads as an empty one. Left closed, the first file
  // or socket opened would become descriptor 0 and be read as the input.
  if (::fcntl(STDIN_FILENO, F_GETFD) < 0) ::open("/dev/null", O_RDONLY);
  std::vector<std::string> args(argv + 1, argv + argc);
  CliParse parse = ParseCliOptions(args);
  if (parse.Help) {
    std::fputs(CliUsage().c_str(), stdout);
    return ExitOk;
  }
  if (parse.Version) {
    std::printf("vyr-cli %s\n", VyrVersion);
    return ExitOk;
  }
  if (!parse.Options) {
    std::fprintf(stderr, "vyr-cli: %s\nRun 'vyr-cli --help' for the options.\n", parse.Error.c_str());
    return ExitUsage;
  }

  QCoreApplication app(argc, argv);
  // Large output blocks; the session flushes after every batch of messages.
  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);

  const CliCommand command = parse.Options->Command;
  CliSession session(std::move(*parse.Options));

  // Ctrl-C and SIGTERM end the run with a proper DISCONNECT.
  if (::pipe(SignalPipe) != 0) return ExitConnection;
  QSocketNotifier signalNotifier(SignalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &session, [&] {
    char byte;
    if (::read(SignalPipe[0], &byte, 1) == 1 && byte == 2)
      session.ReopenDataFiles();
    else
      session.Finish(ExitOk);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // log runs as a service: SIGHUP is logrotate's "reopen your files".
  if (command == CliCommand::Log) ::sigaction(SIGHUP, &action, nullptr);

  session.Start();
  return app.exec();
}
