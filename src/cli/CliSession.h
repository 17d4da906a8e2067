#pragma once
// Runs one "sub", "pub" or "log" command on a TMQTTClient inside the Qt event loop
// and decides the exit code.

#include <QObject>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "CliExit.h"
#include "CliFormat.h"
#include "CliOptions.h"
#include "SubscribeOptions.h"

class QSocketNotifier;
class QTimer;
class TDataLog;
class TMQTTClient;
class TSessionFile;
class TSslContext;

class CliSession : public QObject {
public:
  explicit CliSession(CliOptions options);
  ~CliSession() override;

  // Starts the connection; the event loop runs the rest and quits with the exit code.
  void Start();
  // Ends the run gracefully (disconnect, then quit) with this exit code.
  void Finish(CliExit code);
  // log, on SIGHUP: every data file is opened anew at its next line.
  void ReopenDataFiles();

private:
  void WireClient();
  void ApplyLevel5();
  void SubscribeAcknowledged();
  void Monitor(bool offline);
  void Fail(CliExit code, const std::string &message);
  void QuitNow();

  bool ReadPayload();
  bool StartDataLog();
  bool LockDataFolder(const std::string &folder);
  void CheckBacklog();
  void ClientOnline();
  bool Accept(const std::string &topic, bool retained);
  void ClientMsg(const std::string &topic, const std::string &payload, int qos, bool retained);
  void PrintMsg(const std::string &topic, const std::string &payload, int qos, bool retained);
  bool Excluded(const std::string &topic) const;
  void PublishRepeated();
  int FinishLog();
  void FinishSubscriber();
  void ReadLines();
  void PumpLines();
  void CheckPublishDone();
  void Acknowledged();
  void Completed();
  bool Persistent() const;
  // The broker's address for messages: "HOST port N" or "the socket PATH".
  std::string Where() const;
  void StartPublishing();
  void ResumeInFlight();
  void UnparkInFlight();
  bool SaveSession();
  void ScheduleSessionSave();
  void WatchDrain();
  bool Congested();
  void CheckStartFailed(int attempt);
  void ProtocolViolation(std::string reason);

  CliOptions FOptions;
  std::optional<MessageFormat> FFormat; // -F, checked with the command line
  std::unique_ptr<TSslContext> FSslContext;
  std::unique_ptr<TMQTTClient> FClient;
  std::unique_ptr<QTimer> FTimeout;
  std::unique_ptr<QTimer> FQuitGuard;
  std::unique_ptr<QSocketNotifier> FStdin;
  std::unique_ptr<TDataLog> FDataLog;
  int FFolderLock = -1;      // log: the data folder, locked while it writes there
  int FGroupLock = -1;       // log in a $share group: names the group that shares the folder
  bool FBacklogFull = false; // log: reading from the broker waits for held lines to be written
  std::unique_ptr<QTimer> FRepeatTimer;

  CliExit FExit = ExitOk;
  // MQTT 5: the code of the first refused request, for a run that otherwise ends well.
  CliExit FRefusedExit = ExitOk;
  bool FFinishing = false;
  bool FWasOnline = false;
  bool FPublishStarted = false;
  bool FInputDone = false;
  bool FStdinEnded = false;
  long FReceived = 0;  // messages printed
  long FAccepted = 0;  // messages taken towards -C
  long FPublished = 0; // repetitions of the one message sent
  bool FRepeatBlocked = false; // the next repetition waits for room in flight
  bool FSubscriberDone = false; // sub has what it waited for; ends once its publications are through
  int FAttempts = 0;             // connection attempts started
  bool FAttemptAnswered = false; // the link reported the outcome of the latest one
  int FWindow = 1;             // publications in flight at once now (shrinks after a drop, grows back)
  int FWindowCap = 1;          // ... up to this
  std::unique_ptr<TSessionFile> FSessionFile; // pub -c: the session file, locked while the run holds it
  bool FSessionSaveQueued = false; // a save waits for the end of this pass of the event loop
  bool FOldExchanges = false;  // exchanges of an earlier run are finished before anything new
  std::string FCloseReason;  // why the client gave up the link, until the close is reported
  std::string FViolation;    // log: the broker's last protocol violation, reported once per change
  int FViolations = 0;       // log: connections in a row that ended in one
  bool FViolationClose = false; // the close under way follows a violation already reported
  std::set<std::string> FRefused; // filters the broker refused
  std::string FPayload; // the one message of -m, -f, -s and -n
  TMQTTProperties FPublishProps;       // level 5: -D publish, and rr's response topic and correlation data
  std::string FCorrelation;            // rr: the correlation data of the request
  TSubscribeOptions FSubscribeOptions; // level 5: --no-local ... and -D subscribe
  std::string FPending;      // -l: input read and not yet published, from FPendingPos
  std::size_t FPendingPos = 0;
  long FLineNo = 0;          // -l: lines of standard input taken so far
  std::size_t FNoNewlineBefore = 0; // -l: FPending holds no newline from FPendingPos up to here
  std::size_t NextNewline();
};
