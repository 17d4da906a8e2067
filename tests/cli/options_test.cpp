// vyr-cli's command line: every mistake ends with exit code 2 and a message
// that names it, before any connection is tried.

#include <gtest/gtest.h>

#include <cctype>
#include <utility>

#include "CliHarness.h"

namespace {

struct BadCommandLine {
  std::vector<std::string> Args;
  std::string Message;
};

const BadCommandLine BadCommandLines[] = {
    {{}, "give a command: sub, pub, log or rr"},
    {{"subscribe", "-t", "a"}, "unknown command 'subscribe'"},
    {{"sub"}, "give at least one topic filter with -t"},
    {{"sub", "-t"}, "option -t needs a value"},
    {{"sub", "-t", ""}, "the filter is empty"},
    {{"sub", "-t", "a", "-Z"}, "unknown option '-Z'"},
    {{"sub", "-t", "a", "-q", "3"}, "the QoS must be a whole number from 0 to 2, not '3'"},
    {{"sub", "-t", "a", "-q", "1x"}, "the QoS must be a whole number from 0 to 2, not '1x'"},
    {{"sub", "-t", "a", "-p", "0"}, "the port must be a whole number from 1 to 65535, not '0'"},
    {{"sub", "-t", "a", "--port=65536"}, "the port must be a whole number from 1 to 65535, not '65536'"},
    {{"sub", "-t", "a", "-k", "-1"}, "the keep-alive must be a whole number from 0 to 65535, not '-1'"},
    {{"sub", "-t", "a", "-C", "0"}, "the count must be a whole number from 1 to"},
    {{"sub", "-t", "a", "-W", "soon"}, "the time-out must be a whole number from 1 to"},
    {{"sub", "-t", "a", "-h", ""}, "the host must not be empty"},
    {{"sub", "-t", "a", "-m", "x"}, "option -m does not apply to sub"},
    {{"sub", "-t", "a", "--tls=yes"}, "option --tls takes no value"},
    {{"sub", "-t", "a", "-c"}, "-c needs a client id (-i) to find the session again"},
    {{"sub", "-t", "a", "-P", "secret"}, "-P needs a user name (-u)"},
    {{"sub", "-t", "a", "--will-topic", "w"}, "--will-topic and --will-payload go together"},
    {{"sub", "-t", "a", "--will-payload", "x"}, "--will-topic and --will-payload go together"},
    {{"sub", "-t", "a", "--will-topic", "w", "--will-payload", ""}, "the will payload must not be empty"},
    {{"sub", "-t", "a", "--will-qos", "1"}, "--will-qos and --will-retain need --will-topic and --will-payload"},
    {{"sub", "-t", "a", "--will-topic", "w", "--will-payload", "x", "--will-qos", "3"},
     "the will QoS must be a whole number from 0 to 2"},
    {{"pub", "-t", "a"}, "give the message with -m, -f, -l, -s or -n"},
    {{"sub", "-t", "a", "-V", "mqttv4"}, "the protocol version must be mqttv31, mqttv311 or mqttv5, not 'mqttv4'"},
    {{"sub", "-t", "a", "--tls-version", "tlsv1.1", "--tls"}, "the TLS version must be tlsv1.2 or tlsv1.3"},
    {{"sub", "-t", "a", "--insecure"}, "--insecure and --tls-version apply to TLS: add --tls"},
    {{"sub", "-t", "a", "--key", "k.pem", "--tls"}, "--key needs the certificate it belongs to (--cert)"},
    {{"sub", "-t", "a", "--cafile", ""}, "the CA file must not be empty"},
    {{"pub", "-m", "x"}, "give the topic to publish to with -t"},
    {{"pub", "-t", "a", "-t", "b", "-m", "x"}, "pub and rr publish to one topic: give -t once"},
    {{"pub", "-t", "a/#", "-m", "x"}, "the topic contains the wildcard '#' at byte 2"},
    {{"pub", "-t", "a", "-m", "x", "-l"}, "give only one of -m, -f, -l, -s and -n"},
    {{"pub", "-t", "a", "-n", "-f", "file"}, "give only one of -m, -f, -l, -s and -n"},
    {{"pub", "-t", "a", "-m", "x", "-C", "3"}, "option -C does not apply to pub"},
    {{"pub", "-t", "a", "-m", "x", "-v"}, "option -v does not apply to pub"},
    {{"sub", "-t", "a", "-M", "5"}, "option -M does not apply to sub"},
    {{"pub", "-t", "a", "-l", "-M", "0"}, "the in-flight limit must be a whole number from 1 to 65535, not '0'"},
    {{"sub", "-t", "a", "-F", ""}, "the format must not be empty"},
    {{"sub", "-t", "a", "-R", "--retained-only"}, "--retained-only and -R leave nothing to print"},
    {{"pub", "-t", "a", "-m", "x", "-N"}, "option -N does not apply to pub"},
    {{"log", "-t", "a", "-F", "%p"}, "option -F does not apply to log"},
    {{"log", "-t", "a", "-d"}, "option -d needs a value"},
    {{"log", "-t", "a", "-d", ""}, "the data folder must not be empty"},
    {{"sub", "-t", "a", "--data-dir", "x"}, "option --data-dir does not apply to sub"},
    {{"pub", "-t", "a", "-m", "x", "--repeat", "0"}, "the repeat count must be a whole number from 1 to"},
    {{"pub", "-t", "a", "-m", "x", "--repeat-delay", "-1"}, "the repeat delay must be a number of seconds from 0"},
    {{"pub", "-t", "a", "-m", "x", "--repeat-delay", "1s"}, "the repeat delay must be a number of seconds from 0"},
    {{"log", "-t", "a", "--repeat", "2"}, "option --repeat does not apply to log"},
};

} // namespace

TEST(CliOptions, BadCommandLinesExitWithUsageError) {
  for (const auto &c : BadCommandLines) {
    std::string joined;
    for (const auto &a : c.Args) joined += " '" + a + "'";
    SCOPED_TRACE("vyr-cli" + joined);
    ProcResult r = RunCli(c.Args);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_NE(r.Err.find("vyr-cli: " + c.Message), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("Run 'vyr-cli --help' for the options."), std::string::npos);
    EXPECT_EQ(r.Out, "");
  }
}

TEST(CliOptions, VersionPrintsTheBuildVersion) {
  for (const auto &args : {std::vector<std::string>{"--version"}, {"sub", "-t", "a", "--version"}}) {
    ProcResult r = RunCli(args);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, std::string("vyr-cli ") + VYR_VERSION + "\n");
    EXPECT_EQ(r.Err, "");
  }
}

TEST(CliOptions, HelpListsEveryOptionAndTheExitCodes) {
  for (const auto &args : {std::vector<std::string>{"--help"}, {"sub", "--help"}, {"pub", "-t", "x", "--help"}}) {
    ProcResult r = RunCli(args);
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 0);
    for (const char *name :
         {"-h, --host", "-p, --port", "-t, --topic", "-q, --qos", "-m, --message", "-f, --file", "-l, --stdin-line",
          "-r, --retain", "-i, --id", "-u, --username", "-P, --pw", "-k, --keepalive", "-c, --disable-clean-session",
          "--tls", "--will-topic", "--will-payload", "--will-qos", "--will-retain", "-C, --count", "-v, --verbose",
          "-W, --timeout", "-d, --debug", "-M, --max-inflight", "-s, --stdin-file", "-n, --null-message", "Exit codes:", "  3  the broker refused the connection",
          "--cafile FILE", "--capath DIR", "--cert FILE", "--key FILE", "--tls-version", "--insecure",
          "-V, --protocol-version", "  6  a TLS certificate check failed",
          "vyr-cli log", "-d, --data-dir", "-F FORMAT", "%j", "-N ", "-R ", "--retained-only", "--remove-retained",
          "-T, --filter-out", "-U, --unsubscribe", "--repeat N", "--repeat-delay"})
      EXPECT_NE(r.Out.find(name), std::string::npos) << name;
  }
}

namespace {

// Lower case, every run of white space one space: line breaks and the
// justification of either text do not matter.
std::string Flattened(const std::string &text) {
  std::string flat;
  for (const char c : text) {
    const bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
    if (space && (flat.empty() || flat.back() == ' ')) continue;
    flat += space ? ' ' : char(std::tolower(static_cast<unsigned char>(c)));
  }
  return flat;
}

} // namespace

// What scripts and operators rely on, said alike by --help and the manual
// page: the protocol-error and session-file exit codes, the default bound of
// log's backlog, and the option that moves an unusable session file aside.
TEST(CliOptions, HelpAndManualPageNameTheExitCodesAndDefaultsOfTheService) {
  const ProcResult help = RunCli({"--help"});
  ASSERT_EQ(help.ExitCode, 0);
  const ProcResult manual = RunProc(
      "sh", {"-c", std::string("LC_ALL=C MANWIDTH=200 man -l '") + VYR_CLI_MAN_PAGE + "' 2>/dev/null | col -bx"});
  ASSERT_EQ(manual.ExitCode, 0) << manual.Err;
  for (const auto &[name, text] : {std::pair{"--help", help.Out}, std::pair{"manual page", manual.Out}}) {
    SCOPED_TRACE(name);
    const std::string flat = Flattened(text);
    for (const char *said : {"7 the broker sent a packet that breaks the protocol",
                             "8 pub -c: the session file cannot be used", "--backlog n", "(default 10000)",
                             "--session-move-aside"})
      EXPECT_NE(flat.find(said), std::string::npos) << said;
  }
}
