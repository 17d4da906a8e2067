#pragma once
// The main window: connection controls, the log, the topic list and the path
// of received messages from the client's OnMsg to the idle handler.

#include <QString>
#include <QThread>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "CodePage.h"
#include "LineList.h"
#include "TMQTTClient.h"
#include "TopicListModel.h"

class QCheckBox;
class QCloseEvent;
class QDateTime;
class QGroupBox;
class QLabel;
class QLineEdit;
class QLocale;
class QPushButton;
class TListBox;
class TLogBox;
class TPaintPacer;
class TPendingDrain;
class TRadioGroup;
class TDataLog;
class TSslContext;
class TTopicWindows;

// The lines the log keeps unless --log-lines says otherwise.
inline constexpr qsizetype DefaultLogLines = 100000;

// "Vyr-" and the time of day in units of 0.864 s (0 to 99999).
QString MakeClientID(const QDateTime &Now);
// "yyyy-mm-dd hh:nn:ss " with the locale's time separator in place of ":".
QString LogTimeStamp(const QDateTime &Now, const QLocale &Locale);
// Reads a port number; throws "'<text>' is not a valid integer value".
std::int32_t StrToInt(const QString &Text);

// Hands one received message over to the user-interface thread. Its thread is
// never started: Sync runs on the user-interface thread, at once when the
// caller is already there.
class TMsgSync : public QThread {
  Q_OBJECT
public:
  TMsgSync(TLineList &PendingList) : FPendingList(PendingList) {}
  QString _topic;
  QString _msg;
  void Sync();
  // Runs Sync on the user-interface thread and waits for it.
  void Synchronize();

protected:
  void run() override {}

private:
  TLineList &FPendingList;
};

class TfrmMain : public QWidget {
  Q_OBJECT
public:
  explicit TfrmMain(QWidget *Parent = nullptr);
  ~TfrmMain() override;

  // The client and the controls; the controls are owned by the window as its
  // Qt children.
  std::unique_ptr<TMQTTClient> mqt;
  QPushButton *btnConn;
  QPushButton *btnSubs;
  QPushButton *btnDisc;
  QPushButton *btnAct;
  QPushButton *btnInac;
  TRadioGroup *rdgQosSub;
  TRadioGroup *rdgClean;
  QLineEdit *edtTopic;
  QLineEdit *edtBroker;
  QLineEdit *edtPort;
  QLineEdit *edtUser;
  QLineEdit *edtPW;
  QLineEdit *edtClientID;
  QGroupBox *gpxLog;
  TLogBox *memLog;
  QPushButton *btnClearLog;
  QCheckBox *chkLogWrap;
  QGroupBox *gpxTopic;
  QPushButton *btnPub;
  QLineEdit *edtMessage;
  TRadioGroup *rdgRetain;
  QPushButton *btnUnsub;
  TRadioGroup *rdgQosPub;
  TListBox *lbxTopic;
  QLabel *sttConnection;
  QCheckBox *chkSave;
  TRadioGroup *rdgSSL;

  // The topic list (the lines lbxTopic shows) and the received messages not
  // yet processed, one line per topic each.
  TTopicListModel &TopicList() { return *FTopicList; }
  TLineList &PendingList() { return *FPendingList; }

  void FormCreate(QObject *Sender);
  void AddLog(const QString &Text);
  void edtPortChange(QObject *Sender);
  void edtTopicChange(QObject *Sender);
  void edtMessageChange(QObject *Sender);
  void lbxTopicClick(QObject *Sender);
  // Opens the topic window of a line (double click, Enter).
  void lbxTopicActivate(int Row);
  void chkLogWrapClick(QObject *Sender);
  void btnClearLogClick(QObject *Sender);

  void btnConnClick(QObject *Sender);
  void btnDiscClick(QObject *Sender);
  void btnActClick(QObject *Sender);
  void btnInacClick(QObject *Sender);
  void FormCloseQuery(QObject *Sender, bool &CanClose);
  void mqtOnline(TMQTTClient *Sender);
  void mqtOffline(TMQTTClient *Sender, bool Graceful);
  void mqtFailure(TMQTTClient *Sender, std::int32_t aReason, bool &CloseClient);
  void mqtMon(TMQTTClient *Sender, const std::string &aStr);

  void btnSubsClick(QObject *Sender);
  void btnUnsubClick(QObject *Sender);
  void btnPubClick(QObject *Sender);
  // With no value the selected line is removed.
  void UpdateTopic(const QString &aTopic, const std::optional<QString> &aValue);
  void mqtMsg(TMQTTClient *Sender, const std::string &aTopic, const std::string &aMessage,
              TMQTTQOSType aQos, bool aRetained);
  void QueueMsg(const QString &aTopic, const QString &aMsg);
  void AppIdle(QObject *Sender, bool &Done);

  // The selected line of lbxTopic, or -1.
  int SelectedTopicRow() const;
  // Where the data files go (see DataFolder.h); "Save data" tells it in its tooltip.
  void SetDataFolder(const QString &Folder);
  const QString &DataFolder() const { return FDataFolder; }
  TTopicWindows &TopicWindows() { return *FTopicWindows; }
  // The TLS settings of the client's link (created with the window).
  TSslContext &SslContext() { return *FSslContext; }
  // Level 5: the session expiry interval asked for when "Clean Session" is
  // No (Yes asks for 0); -1: the session never expires.
  void SetKeptSessionExpiry(std::int64_t Seconds) { FKeptSessionExpiry = Seconds; }

protected:
  void closeEvent(QCloseEvent *Event) override;

private:
  void CreateControls();
  void BindEvents();
  QLineEdit *LabeledEdit(const QString &Label, int Left, int Top, int Width, int Height);
  void SelectTopicRow(int Row);
  void SetSslEnable();
  // From the Client ID box as it reads now.
  std::string PresenceTopic() const;
  // The topic of the last Connect's will, which "1" and "0" go to.
  std::string SessionPresenceTopic() const;
  // What Connect copies into the client: host, port, user, password, client
  // identifier, clean session and TLS.
  using TConnectSettings = std::tuple<std::string, std::int32_t, std::string, std::string, std::string, bool, bool>;
  TConnectSettings ConnectSettings() const;
  void ProcessMessages();
  void DataLogProblem(const QString &Problem);
  void ShowDataProblem(const QString &Shown);

  std::unique_ptr<TTopicListModel> FTopicList;
  std::unique_ptr<TLineList> FPendingList;
  std::unique_ptr<TSslContext> FSslContext;
  QString FDataFolder;
  bool FSettingSelection = false;
  std::string FPresenceTopic;
  std::optional<bool> FUrlTls; // with a URL in the Broker box: whether it asks for TLS
  std::unique_ptr<TDataLog> FDataLog;
  // The latest reason a data line could not be written, and whether its error
  // box is on the screen.
  QString FDataProblem;
  bool FDataBoxOpen = false;
  std::unique_ptr<TPaintPacer> FPaintPacer;
  std::unique_ptr<TPendingDrain> FDrain;
  std::unique_ptr<TTopicWindows> FTopicWindows;
  std::int64_t FKeptSessionExpiry = -1;
};

extern TfrmMain *frmMain;
