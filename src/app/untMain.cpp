#include "untMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <malloc.h>
#include <stdexcept>

#include "Accessible.h"
#include "AccessibleShortcuts.h"
#include "CodePage.h"
#include "MQTTLimits.h"
#include "DataFile.h"
#include "DataFolder.h"
#include "DataLog.h"
#include "ErrorBox.h"
#include "LogBox.h"
#include "PaintPacer.h"
#include "ShownText.h"
#include "PendingDrain.h"
#include "StartConnection.h"
#include "TApplication.h"
#include "TListBox.h"
#include "TRadioGroup.h"
#include "TSslContext.h"
#include "TWSocket.h"
#include "TopicWindow.h"
#include "TopicListModel.h"

TfrmMain *frmMain = nullptr;

namespace {

const QString Subscribed = QStringLiteral("[subscribed]");
// A subscription the broker refused (MQTT 3.1.1; level 5 adds the reason).
const QString Refused = QStringLiteral("[refused]");
const QString Title = QStringLiteral("Vyr MQTT Client v2.1");
// While the idle handler drains, the window is painted at most this often,
// and the event loop let through at most this often.
const int PaintIntervalMs = 40;
const int DrainPassIntervalMs = 5;
// The values of one topic held while its data file cannot be written.
const std::size_t DataWaitingPerTopic = 10000;
const std::size_t DataWaitingBytesPerTopic = 64u << 20;

TMQTTQOSType QosOf(const TRadioGroup *Group)
{
  switch (Group->ItemIndex()) {
  case 1:
    return qtAT_LEAST_ONCE;
  case 2:
    return qtEXACTLY_ONCE;
  default:
    return qtAT_MOST_ONCE;
  }
}

std::string Utf8(const QString &Text)
{
  return Text.toStdString();
}

// Refuses a click with an error box naming the first problem found; the
// connection and everything else stay as they are.
void Refuse(const char *What, std::initializer_list<std::string> Problems)
{
  for (const std::string &Problem : Problems)
    if (!Problem.empty())
      throw std::runtime_error(std::string(What) + ": " + Problem + ".");
}

// Connects a Qt signal to a window handler; what the handler throws is shown in
// an error box, as for every handler run from the event loop.
template <typename Sender, typename Signal, typename Handler>
void Bind(Sender *Source, Signal Sig, TfrmMain *Window, Handler Fn)
{
  QObject::connect(Source, Sig, Window, [Window, Source, Fn] {
    TApplication::Guarded([&] { (Window->*Fn)(Source); });
  });
}

} // namespace

QString MakeClientID(const QDateTime &Now)
{
  // Integer arithmetic gives exactly the integer part of fraction-of-day x 100000.
  const qint64 Ms = Now.time().msecsSinceStartOfDay();
  return QStringLiteral("Vyr-") + QString::number(Ms / 864);
}

// The text between the hours and the minutes of the locale's short time format.
static QString TimeSeparator(const QLocale &Locale)
{
  const QString Format = Locale.timeFormat(QLocale::ShortFormat);
  qsizetype I = 0;
  while (I < Format.size() && Format[I] != QLatin1Char('h') && Format[I] != QLatin1Char('H'))
    ++I;
  while (I < Format.size() && (Format[I] == QLatin1Char('h') || Format[I] == QLatin1Char('H')))
    ++I;
  qsizetype J = I;
  while (J < Format.size() && Format[J] != QLatin1Char('m'))
    ++J;
  return J > I && J < Format.size() ? Format.mid(I, J - I) : QStringLiteral(":");
}

QString LogTimeStamp(const QDateTime &Now, const QLocale &Locale)
{
  // Looked up once per locale: the log gets a line for every message.
  static QString CachedLocale, CachedSeparator;
  if (CachedSeparator.isEmpty() || CachedLocale != Locale.name()) {
    CachedLocale = Locale.name();
    CachedSeparator = TimeSeparator(Locale);
  }
  const QString &Separator = CachedSeparator;
  const QDate D = Now.date();
  const QTime T = Now.time();
  auto Two = [](int V) { return QStringLiteral("%1").arg(V, 2, 10, QLatin1Char('0')); };
  return QStringLiteral("%1-%2-%3 %4%5%6%7%8 ")
      .arg(D.year(), 4, 10, QLatin1Char('0'))
      .arg(Two(D.month()), Two(D.day()), Two(T.hour()), Separator, Two(T.minute()), Separator,
           Two(T.second()));
}

std::int32_t StrToInt(const QString &Text)
{
  bool Ok = false;
  const int Value = Text.toInt(&Ok, 10);
  if (!Ok)
    throw std::runtime_error(QStringLiteral("'%1' is not a valid integer value").arg(Text).toStdString());
  return Value;
}

void TMsgSync::Sync()
{
  FPendingList.SetValue(_topic, _msg);
}

void TMsgSync::Synchronize()
{
  QCoreApplication *App = QCoreApplication::instance();
  if (!App || QThread::currentThread() == App->thread())
    Sync();
  else
    QMetaObject::invokeMethod(App, [this] { Sync(); }, Qt::BlockingQueuedConnection);
}

TfrmMain::TfrmMain(QWidget *Parent) : QWidget(Parent)
{
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(Title);
  // Shown by window managers for the minimised window.
  setWindowIconText(Title);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont Font;
  // Where Tahoma is missing, the narrow sans-serif faces come closest to its width.
  Font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                    QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
  Font.setPointSize(8);
  // The application's font, so that every control and box shares it (a style
  // sheet resolves fonts from the application, not from the parent).
  QApplication::setFont(Font);
  setFont(Font);
  setFixedSize(644, 511);
  if (QScreen *Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());

  mqt = std::make_unique<TMQTTClient>();
  mqt->SetKeepAlive(30);
  mqt->SetMaxRetries(8);
  mqt->SetRetryTime(60);
  mqt->SetClean(false);
  mqt->SetBroker(false);
  // Every filter the list shows as subscribed is subscribed again after each
  // accepted CONNACK: a broker that lost the session (clean session, restart)
  // would otherwise send nothing more, and filters recorded while the link
  // was down reach the broker this way too.
  mqt->SetAutoSubscribe(true);
  mqt->SetPort(1883);
  mqt->SetLocalBounce(false);
  // A steady stream is read at the pace the window is painted at.
  mqt->SetReadPaceMs(PaintIntervalMs);

  FTopicList = std::make_unique<TTopicListModel>();
  FPendingList = std::make_unique<TLineList>();
  FDataLog = std::make_unique<TDataLog>(DataFilesOpenAtOnce());
  // The user's data folder comes into being with the first saved line.
  FDataLog->SetCreateFolder(true);
  FDataLog->OnProblem = [this](const QString &Problem) { DataLogProblem(Problem); };
  FDataLog->OnLost = [this](const QString &Topic, const QString &Path, std::size_t Count) {
    AddLog(QStringLiteral("Data file \"%1\" of topic %2: %3 value(s) lost while more than %4 waited")
               .arg(QDir::toNativeSeparators(Path), Topic)
               .arg(Count)
               .arg(DataWaitingPerTopic));
  };
  // A disk that refuses lines for a long time must not take all memory: each
  // topic keeps this many of its values waiting, and says how many it lost.
  FDataLog->MaxWaitingLines = DataWaitingPerTopic;
  FDataLog->MaxWaitingBytes = DataWaitingBytesPerTopic;
  FPaintPacer = std::make_unique<TPaintPacer>(this, PaintIntervalMs);
  FDrain = std::make_unique<TPendingDrain>(*FPendingList, *FPaintPacer, DrainPassIntervalMs);
  FTopicWindows = std::make_unique<TTopicWindows>();

  CreateControls();
  SetDataFolder(DataFolderFor({}));
  BindEvents();
  FormCreate(this);
}

TfrmMain::~TfrmMain()
{
  if (TApplication *App = TApplication::Instance())
    App->OnIdle = nullptr;
  if (frmMain == this)
    frmMain = nullptr;
  FTopicWindows.reset();
  // The client goes first: its link may still refer to the TLS context.
  mqt.reset();
}

QLineEdit *TfrmMain::LabeledEdit(const QString &Label, int Left, int Top, int Width, int Height)
{
  auto *Edit = new QLineEdit(this);
  Edit->setGeometry(Left, Top, Width, Height);
  auto *Caption = new QLabel(Label, this);
  Caption->setBuddy(Edit);
  Caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Clear of the log's group box on the left (its right edge is at 425):
  // overlapping it, the captions would be drawn again whenever the log is.
  const int LabelWidth = 57;
  Caption->setGeometry(Left - 3 - LabelWidth, Top, LabelWidth, Height);
  return Edit;
}

// Controls are created in tab order: Qt's focus chain follows creation order.
void TfrmMain::CreateControls()
{
  InstallAccessibleViews();
  InstallAccessibleShortcuts();
  auto Button = [](const QString &Caption, QWidget *Parent, int L, int T, int W, int H, bool Enabled) {
    auto *B = new QPushButton(Caption, Parent);
    B->setGeometry(L, T, W, H);
    B->setEnabled(Enabled);
    B->setAutoDefault(false);
    return B;
  };
  auto Radio = [](const QString &Caption, const QStringList &Items, int Columns, int Selected, QWidget *Parent,
                  int L, int T, int W, int H) {
    auto *R = new TRadioGroup(Caption, Items, Columns, Selected, Parent);
    R->setGeometry(L, T, W, H);
    return R;
  };

  gpxLog = new QGroupBox(QStringLiteral("&Log"), this);
  gpxLog->setGeometry(8, 8, 417, 301);
  memLog = new TLogBox(gpxLog);
  memLog->setGeometry(8, 16, 401, 247);
  // Weeks of messages would otherwise fill the memory (--log-lines changes it).
  memLog->SetMaxLines(DefaultLogLines);
  chkLogWrap = new QCheckBox(QStringLiteral("Wrap lines"), gpxLog);
  chkLogWrap->setGeometry(8, 273, 73, 17);
  chkLogWrap->setChecked(true);
  btnClearLog = Button(QStringLiteral("Clear Log"), gpxLog, 317, 269, 92, 25, true);
  sttConnection = new QLabel(QStringLiteral("Offline"), gpxLog);
  sttConnection->setGeometry(137, 273, 143, 17);
  sttConnection->setAlignment(Qt::AlignCenter);
  sttConnection->setFrameStyle(QFrame::Panel | QFrame::Sunken);

  gpxTopic = new QGroupBox(QStringLiteral("&Topics"), this);
  gpxTopic->setGeometry(8, 310, 621, 193);
  rdgRetain = Radio(QStringLiteral("Retain"), {QStringLiteral("Yes"), QStringLiteral("No")}, 2, 1, gpxTopic, 83, 152,
                    89, 32);
  btnPub = Button(QStringLiteral("Publish"), gpxTopic, 273, 159, 50, 25, false);
  edtMessage = new QLineEdit(gpxTopic);
  edtMessage->setGeometry(329, 163, 207, 21);
  btnUnsub = Button(QStringLiteral("Unsubscribe"), gpxTopic, 542, 159, 71, 25, false);
  rdgQosPub = Radio(QStringLiteral("QoS"), {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}, 3, 0,
                    gpxTopic, 178, 152, 89, 32);
  lbxTopic = new TListBox(13, gpxTopic);
  lbxTopic->setGeometry(8, 16, 605, 137);
  lbxTopic->setModel(FTopicList.get());
  chkSave = new QCheckBox(QStringLiteral("Save data"), gpxTopic);
  chkSave->setGeometry(8, 164, 69, 17);

  edtBroker = LabeledEdit(QStringLiteral("&Broker"), 486, 16, 143, 21);
  edtBroker->setText(QStringLiteral("test.mosquitto.org"));
  edtPort = LabeledEdit(QStringLiteral("&Port"), 486, 43, 143, 21);
  edtPort->setText(QStringLiteral("8883"));
  edtUser = LabeledEdit(QStringLiteral("&User"), 486, 70, 143, 21);
  edtPW = LabeledEdit(QStringLiteral("Pass&word"), 486, 97, 143, 21);
  edtPW->setEchoMode(QLineEdit::Password);
  edtPW->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // "*"
  edtClientID = LabeledEdit(QStringLiteral("Clie&nt ID"), 486, 124, 143, 21);
  rdgClean = Radio(QStringLiteral("Clean Session"), {QStringLiteral("Yes"), QStringLiteral("No")}, 2, 0, this, 537,
                   148, 92, 32);
  btnConn = Button(QStringLiteral("&Connect"), this, 443, 186, 92, 25, true);
  btnDisc = Button(QStringLiteral("&Disconnect"), this, 537, 186, 92, 25, false);
  btnAct = Button(QStringLiteral("&Active"), this, 443, 210, 92, 25, false);
  btnInac = Button(QStringLiteral("&Inactive"), this, 537, 210, 92, 25, false);
  btnSubs = Button(QStringLiteral("Subscribe"), this, 443, 248, 58, 25, false);
  edtTopic = new QLineEdit(this);
  edtTopic->setGeometry(507, 250, 122, 21);
  rdgQosSub = Radio(QStringLiteral("QoS"), {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}, 3, 0,
                    this, 443, 277, 186, 32);
  rdgSSL = Radio(QStringLiteral("Use SSL"), {QStringLiteral("Yes"), QStringLiteral("No")}, 2, 0, this, 443, 148, 92,
                 32);

  // Assistive technology would otherwise name a box without a caption of its
  // own after the group box around it ("Topics" for the Message box and the
  // Retain and QoS groups): each gets the name a sighted user reads for it.
  const std::pair<QWidget *, QString> Spoken[] = {
      {memLog, QStringLiteral("Log")},          {sttConnection, QStringLiteral("Connection status")},
      {lbxTopic, QStringLiteral("Topics")},     {rdgRetain, QStringLiteral("Retain")},
      {rdgQosPub, QStringLiteral("QoS")},       {edtMessage, QStringLiteral("Message")},
      {edtTopic, QStringLiteral("Topic")},      {rdgQosSub, QStringLiteral("QoS")},
      {rdgClean, QStringLiteral("Clean Session")}, {rdgSSL, QStringLiteral("Use SSL")},
  };
  for (const auto &[Widget, Name] : Spoken)
    Widget->setAccessibleName(Name);

  const std::pair<QWidget *, const char *> Names[] = {
      {btnConn, "btnConn"},       {btnSubs, "btnSubs"},         {btnDisc, "btnDisc"},
      {btnAct, "btnAct"},         {btnInac, "btnInac"},         {rdgQosSub, "rdgQosSub"},
      {rdgClean, "rdgClean"},     {edtTopic, "edtTopic"},       {edtBroker, "edtBroker"},
      {edtPort, "edtPort"},       {edtUser, "edtUser"},         {edtPW, "edtPW"},
      {edtClientID, "edtClientID"}, {gpxLog, "gpxLog"},         {memLog, "memLog"},
      {btnClearLog, "btnClearLog"}, {chkLogWrap, "chkLogWrap"}, {gpxTopic, "gpxTopic"},
      {btnPub, "btnPub"},         {edtMessage, "edtMessage"},   {rdgRetain, "rdgRetain"},
      {btnUnsub, "btnUnsub"},     {rdgQosPub, "rdgQosPub"},     {lbxTopic, "lbxTopic"},
      {sttConnection, "sttConnection"}, {chkSave, "chkSave"},   {rdgSSL, "rdgSSL"},
  };
  for (const auto &[Widget, Name] : Names)
    Widget->setObjectName(QString::fromLatin1(Name));
}

void TfrmMain::BindEvents()
{
  Bind(edtBroker, &QLineEdit::textChanged, this, &TfrmMain::edtPortChange);
  Bind(edtPort, &QLineEdit::textChanged, this, &TfrmMain::edtPortChange);
  Bind(edtClientID, &QLineEdit::textChanged, this, &TfrmMain::edtPortChange);
  Bind(edtTopic, &QLineEdit::textChanged, this, &TfrmMain::edtTopicChange);
  Bind(edtMessage, &QLineEdit::textChanged, this, &TfrmMain::edtMessageChange);
  Bind(chkLogWrap, &QCheckBox::clicked, this, &TfrmMain::chkLogWrapClick);
  Bind(btnClearLog, &QPushButton::clicked, this, &TfrmMain::btnClearLogClick);
  Bind(btnConn, &QPushButton::clicked, this, &TfrmMain::btnConnClick);
  Bind(btnDisc, &QPushButton::clicked, this, &TfrmMain::btnDiscClick);
  Bind(btnAct, &QPushButton::clicked, this, &TfrmMain::btnActClick);
  Bind(btnInac, &QPushButton::clicked, this, &TfrmMain::btnInacClick);
  Bind(btnSubs, &QPushButton::clicked, this, &TfrmMain::btnSubsClick);
  Bind(btnUnsub, &QPushButton::clicked, this, &TfrmMain::btnUnsubClick);
  Bind(btnPub, &QPushButton::clicked, this, &TfrmMain::btnPubClick);
  // Only the user's changes of the selection count; the program's own are
  // made with FSettingSelection set.
  connect(lbxTopic->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (!FSettingSelection)
      TApplication::Guarded([this] { lbxTopicClick(lbxTopic); });
  });
  connect(lbxTopic, &TListBox::LineActivated, this,
          [this](int Row) { TApplication::Guarded([this, Row] { lbxTopicActivate(Row); }); });

  mqt->OnMon = [this](TMQTTClient *Sender, const std::string &aStr) { mqtMon(Sender, aStr); };
  mqt->OnOnline = [this](TMQTTClient *Sender) { mqtOnline(Sender); };
  mqt->OnOffline = [this](TMQTTClient *Sender, bool Graceful) { mqtOffline(Sender, Graceful); };
  mqt->OnFailure = [this](TMQTTClient *Sender, std::int32_t aReason, bool &CloseClient) {
    mqtFailure(Sender, aReason, CloseClient);
  };
  mqt->OnMsg = [this](TMQTTClient *Sender, const std::string &aTopic, const std::string &aMessage,
                      TMQTTQOSType aQos, bool aRetained) { mqtMsg(Sender, aTopic, aMessage, aQos, aRetained); };
  mqt->OnSubRefused = [this](TMQTTClient *, const std::string &aTopic) {
    // Level 5 says why.
    const std::string &Why = mqt->SubRefusedReason();
    UpdateTopic(QString::fromStdString(aTopic),
                Why.empty() ? Refused : QStringLiteral("[refused: %1]").arg(QString::fromStdString(Why)));
  };
}

void TfrmMain::FormCreate(QObject *)
{
  edtClientID->setText(MakeClientID(QDateTime::currentDateTime()));
  FTopicList->Clear();
  FPendingList->Clear();
  FSslContext = std::make_unique<TSslContext>();
  mqt->Link->SetSslContext(FSslContext.get());
  if (TApplication *App = TApplication::Instance())
    App->OnIdle = [this](QObject *Sender, bool &Done) { AppIdle(Sender, Done); };
}

namespace {

// The stamp is worked out once a second, not once a line: the local time
// reads the time zone's file each time, and the log gets a line for every
// message. A change of the time zone or the locale shows from the next
// second on.
QString LogTimeStampNow()
{
  static qint64 StampedSecond = -1;
  static QString Stamp;
  const qint64 Second = QDateTime::currentSecsSinceEpoch();
  if (Second != StampedSecond) {
    StampedSecond = Second;
    Stamp = LogTimeStamp(QDateTime::fromSecsSinceEpoch(Second), QLocale());
  }
  return Stamp;
}

} // namespace

void TfrmMain::AddLog(const QString &Text)
{
  memLog->AppendLine(LogTimeStampNow() + Text);
}

void TfrmMain::edtPortChange(QObject *)
{
  const bool WasOn = btnConn->isEnabled();
  btnConn->setEnabled(!edtBroker->text().isEmpty() && !edtPort->text().isEmpty() &&
                      !edtClientID->text().isEmpty());
  if (WasOn && !btnConn->isEnabled())
    btnAct->setEnabled(false);
}

void TfrmMain::edtTopicChange(QObject *)
{
  btnSubs->setEnabled(!edtTopic->text().isEmpty() && mqt->Online());
}

void TfrmMain::edtMessageChange(QObject *)
{
  btnPub->setEnabled(!edtMessage->text().isEmpty() && SelectedTopicRow() >= 0);
}

void TfrmMain::lbxTopicClick(QObject *)
{
  btnUnsub->setEnabled(SelectedTopicRow() >= 0);
}

void TfrmMain::lbxTopicActivate(int Row)
{
  if (Row < 0 || Row >= FTopicList->rowCount())
    return;
  const QString Line = FTopicList->TopicList().Line(Row);
  const QString Name = TLineList::NameOf(Line);
  const QString Value = TLineList::ValueOf(Line);
  // A filter's line names no topic of its own.
  if (Value == Subscribed || Value == Refused || Name.contains(u'+') || Name.contains(u'#'))
    return;
  QString DataFile;
  try {
    DataFile = DataFileName(FDataFolder, Name);
  } catch (const EDataFileError &) {
    // A topic that cannot name a file has no history; its window opens all the same.
  }
  FTopicWindows->Open(Name, DataFile, Value);
}

void TfrmMain::chkLogWrapClick(QObject *)
{
  memLog->SetWrap(chkLogWrap->isChecked());
}

void TfrmMain::btnClearLogClick(QObject *)
{
  memLog->Clear();
  // The allocator keeps freed memory for reuse; a cleared log gives it back.
  ::malloc_trim(0);
}

void TfrmMain::SetSslEnable()
{
  mqt->Link->SetSslEnable(FUrlTls ? *FUrlTls : rdgSSL->ItemIndex() == 0);
}

std::string TfrmMain::PresenceTopic() const
{
  return Utf8(QStringLiteral("Vyr/") + edtClientID->text() + QStringLiteral("/status"));
}

std::string TfrmMain::SessionPresenceTopic() const
{
  return FPresenceTopic.empty() ? PresenceTopic() : FPresenceTopic;
}

TfrmMain::TConnectSettings TfrmMain::ConnectSettings() const
{
  return {mqt->Host(),    mqt->Port(),  mqt->Username(),           mqt->Password(),
          mqt->ClientID(), mqt->Clean(), mqt->Link->SslEnable()};
}

void TfrmMain::ProcessMessages()
{
  QCoreApplication::processEvents();
}

void TfrmMain::btnConnClick(QObject *)
{
  // Nothing is sent with settings the broker would refuse by dropping us.
  Refuse("Not connected", {CheckText("Client ID", Utf8(edtClientID->text())),
                           CheckText("User", Utf8(edtUser->text())),
                           CheckStringLength("Password", Utf8(edtPW->text())),
                           BrokerBoxProblem(Utf8(edtBroker->text()))});
  if (mqt->Online()) {
    // The session's presence topic must not keep its "1" once it has ended
    // with DISCONNECT, which leaves the will unsent.
    mqt->Publish(FPresenceTopic, "0", qtAT_MOST_ONCE, true);
    mqt->Activate(false);
  }
  const auto Before = ConnectSettings();
  mqt->SetHost(Utf8(edtBroker->text()));
  mqt->SetPort(StrToInt(edtPort->text()));
  FUrlTls = ApplyBrokerBox(*mqt, Utf8(edtBroker->text()));
  mqt->SetUsername(Utf8(edtUser->text()));
  mqt->SetPassword(Utf8(edtPW->text()));
  mqt->SetClientID(Utf8(edtClientID->text()));
  FPresenceTopic = PresenceTopic();
  mqt->SetWill(FPresenceTopic, "0", qtAT_MOST_ONCE, true);
  mqt->SetClean(rdgClean->ItemIndex() == 0);
  mqt->SessionExpiry = mqt->Clean() ? 0 : FKeptSessionExpiry; // read at level 5 only
  SetSslEnable();
  // A client still trying with other settings starts over with these at once.
  if (mqt->Enabled() && ConnectSettings() != Before)
    mqt->Restart();
  else
    mqt->Activate(true);
  // The list starts afresh, and so do the filters the client subscribes
  // again after each accepted CONNACK.
  mqt->Subscriptions.clear();
  FSettingSelection = true;
  FTopicList->Clear();
  FSettingSelection = false;
}

void TfrmMain::btnDiscClick(QObject *)
{
  mqt->Link->Close();
  ProcessMessages();
  SetSslEnable();
}

void TfrmMain::btnActClick(QObject *)
{
  SetSslEnable();
  mqt->Activate(true);
}

void TfrmMain::btnInacClick(QObject *)
{
  mqt->Publish(SessionPresenceTopic(), "0", qtAT_MOST_ONCE, true);
  mqt->Activate(false);
  ProcessMessages();
  SetSslEnable();
}

void TfrmMain::FormCloseQuery(QObject *, bool &)
{
  mqt->Publish(SessionPresenceTopic(), "0", qtAT_MOST_ONCE, true);
}

void TfrmMain::closeEvent(QCloseEvent *Event)
{
  bool CanClose = true;
  TApplication::Guarded([&] { FormCloseQuery(this, CanClose); });
  if (CanClose) {
    Event->accept();
    FTopicWindows->CloseAll();
  } else
    Event->ignore();
}

void TfrmMain::mqtOnline(TMQTTClient *)
{
  btnConn->setEnabled(false);
  btnAct->setEnabled(false);
  mqt->Publish(SessionPresenceTopic(), "1", qtAT_MOST_ONCE, true);
  AddLog(QStringLiteral("Client online"));
  if (mqt->Link->SslState() == sslEstablished) {
    AddLog(QStringLiteral("TLS Connection: ") + QString::fromStdString(mqt->Link->SslCipherDesc()));
    sttConnection->setText(QString::fromStdString(mqt->Link->SslVersion()));
    sttConnection->setToolTip(
        QStringLiteral("Encrypted, but the broker's certificate was not verified: start the window with "
                       "--cafile naming the CA certificate that signed it to verify it"));
    // Only with a CA given is the broker checked at all.
    const QString Verified = QString::fromStdString(mqt->Link->SslVerifiedName());
    if (!Verified.isEmpty()) {
      AddLog(QStringLiteral("Broker certificate verified for ") + Verified);
      sttConnection->setText(QStringLiteral("Verified: ") + Verified);
      sttConnection->setToolTip(
          QStringLiteral("Encrypted; the broker's certificate was verified for %1 against the CA given").arg(Verified));
    }
  } else {
    AddLog(QStringLiteral("Insecure Connection"));
    sttConnection->setText(QStringLiteral("Insecure"));
    sttConnection->setToolTip(QStringLiteral("Not encrypted, and the broker is not verified"));
  }
  // Any path but a direct TCP or TLS one is named, in the status box too.
  if (mqt->Link->WsEnable() || mqt->Link->Proxy().Kind != TProxySettings::pkNone) {
    const QString Path = QString::fromStdString(mqt->Link->PathName());
    AddLog(QStringLiteral("Connection path: ") + Path);
    sttConnection->setText(Path);
  }
  btnInac->setEnabled(true);
  btnDisc->setEnabled(true);
  edtTopicChange(edtTopic);
}

void TfrmMain::mqtOffline(TMQTTClient *, bool)
{
  btnInac->setEnabled(false);
  btnDisc->setEnabled(false);
  btnSubs->setEnabled(false);
  AddLog(QStringLiteral("Client offline"));
  sttConnection->setText(QStringLiteral("Offline"));
  sttConnection->setToolTip(QString());
  btnAct->setEnabled(true);
  btnConn->setEnabled(true);
}

void TfrmMain::mqtFailure(TMQTTClient *, std::int32_t aReason, bool &)
{
  AddLog(QStringLiteral("Failure: ") + QString::number(aReason));
}

// The hints of a failed certificate check name what the window offers: it
// verifies only with a CA given by --cafile (or --capath), and connects
// unverified without one; it has no "insecure" choice of its own.
static QString WindowTlsHint(QString Text)
{
  Text.replace(QStringLiteral("give the CA certificate that signed it, or choose insecure"),
               QStringLiteral("start the window with --cafile naming the CA certificate that signed it"));
  Text.replace(QStringLiteral("give the right CA certificate, or choose insecure"),
               QStringLiteral("start the window with --cafile naming the right CA certificate"));
  Text.replace(QStringLiteral(", or choose insecure"),
               QStringLiteral(", or start the window without --cafile to connect unverified"));
  return Text;
}

void TfrmMain::mqtMon(TMQTTClient *, const std::string &aStr)
{
  AddLog(QStringLiteral("Status: ") + WindowTlsHint(QString::fromStdString(aStr)));
}

void TfrmMain::SetDataFolder(const QString &Folder)
{
  FDataFolder = Folder;
  chkSave->setToolTip(QStringLiteral("Data files go to %1").arg(QDir::toNativeSeparators(Folder)));
}

int TfrmMain::SelectedTopicRow() const
{
  const QModelIndexList Rows = lbxTopic->selectionModel()->selectedRows();
  return Rows.isEmpty() ? -1 : Rows.first().row();
}

void TfrmMain::SelectTopicRow(int Row)
{
  FSettingSelection = true;
  QItemSelectionModel *Selection = lbxTopic->selectionModel();
  if (Row >= 0 && Row < FTopicList->rowCount()) {
    const QModelIndex Index = FTopicList->index(Row);
    Selection->setCurrentIndex(Index, QItemSelectionModel::ClearAndSelect);
  } else {
    Selection->clear();
  }
  FSettingSelection = false;
}

void TfrmMain::btnSubsClick(QObject *)
{
  Refuse("Not subscribed", {CheckTopicFilter("Topic filter", Utf8(edtTopic->text()))});
  mqt->Subscribe(Utf8(edtTopic->text()), QosOf(rdgQosSub));
  UpdateTopic(edtTopic->text(), Subscribed);
}

void TfrmMain::btnUnsubClick(QObject *)
{
  btnUnsub->setEnabled(false);
  const int Row = SelectedTopicRow();
  if (Row < 0)
    return;
  const QString Name = TLineList::NameOf(FTopicList->TopicList().Line(Row));
  // The client sends nothing while offline, and keeps nothing to send later;
  // the line goes, so the filter is not subscribed again at reconnection.
  if (!mqt->Online())
    AddLog(QStringLiteral("Not unsubscribed: offline"));
  mqt->Unsubscribe(Utf8(Name));
  UpdateTopic(Name, std::nullopt);
}

void TfrmMain::btnPubClick(QObject *)
{
  const int Row = SelectedTopicRow();
  if (Row < 0)
    return;
  const std::string Topic = Utf8(TLineList::NameOf(FTopicList->TopicList().Line(Row)));
  const std::string Message = TCodePage::Ansi().FromUnicode(edtMessage->text());
  // A wildcard line names a filter, not a topic one can publish to.
  Refuse("Not published",
         {CheckTopicName("Topic", Topic), CheckPublishSize(Topic.size(), Message.size(), QosOf(rdgQosPub))});
  // The client sends nothing while offline, and keeps nothing to send later.
  if (!mqt->Online())
    AddLog(QStringLiteral("Not published: offline"));
  mqt->Publish(Topic, Message, QosOf(rdgQosPub), rdgRetain->ItemIndex() == 0);
}

void TfrmMain::UpdateTopic(const QString &aTopic, const std::optional<QString> &aValue)
{
  const bool PubWasEnabled = btnPub->isEnabled();
  btnPub->setEnabled(false);
  FDrain->LetEventsThrough();
  FSettingSelection = true;
  const int Selected = FTopicList->UpdateTopic(aTopic, aValue, SelectedTopicRow());
  FSettingSelection = false;
  SelectTopicRow(Selected);
  btnPub->setEnabled(PubWasEnabled);
  FDrain->LetEventsThrough();
}

void TfrmMain::mqtMsg(TMQTTClient *, const std::string &aTopic, const std::string &aMessage, TMQTTQOSType, bool)
{
  const QString Topic = QString::fromUtf8(aTopic.data(), qsizetype(aTopic.size()));
  // The data file is the user's record of every value, saved as it arrives;
  // the list and the log show the latest value of a topic at each pass. An
  // empty message is saved no more than it is shown.
  if (chkSave->isChecked() && !aMessage.empty()) {
    // A line that cannot be written now waits in the data log, which
    // writes it in order once it can; the other topics go on meanwhile.
    FDataLog->SetFolder(FDataFolder);
    FDataLog->AddPayload(Topic, aMessage, TCodePage::Ansi());
  }
  const QString Value = DecodeReceivedMessage(aMessage, TCodePage::Ansi());
  // A topic's own window keeps every value too, not only the latest of a pass.
  FTopicWindows->Add(Topic, QDateTime::currentMSecsSinceEpoch(), Value);
  QueueMsg(Topic, Value);
}

void TfrmMain::QueueMsg(const QString &aTopic, const QString &aMsg)
{
  auto Sync = std::make_unique<TMsgSync>(*FPendingList);
  Sync->_topic = aTopic;
  Sync->_msg = aMsg;
  Sync->Synchronize();
}

void TfrmMain::AppIdle(QObject *, bool &)
{
  FDrain->Run([this](const QString &, const QString &Name, const QString &Value) {
    AddLog(ShownLine(Name, Value));
    // UpdateTopic ends by letting pending window messages through, which is
    // also the next step here: one pass serves both.
    UpdateTopic(Name, Value);
  });
}

// The box is opened from the event loop, not from inside the handler that met
// the failure, and does not block the window, which goes on processing and
// saving while it is open. One box at a time: a reason that changes while it
// is open is shown once it is closed. Every reason is in the log as well.
void TfrmMain::DataLogProblem(const QString &Problem)
{
  AddLog(Problem);
  FDataProblem = Problem;
  if (FDataBoxOpen)
    return;
  FDataBoxOpen = true;
  QTimer::singleShot(0, this, [this] { ShowDataProblem(QString()); });
}

void TfrmMain::ShowDataProblem(const QString &Shown)
{
  if (Shown == FDataProblem) {
    FDataBoxOpen = false;
    return;
  }
  const QString Problem = FDataProblem;
  // A long path would make the box wider than the screen.
  const int Width = screen()->availableGeometry().width() * 3 / 4;
  ShowModelessErrorBox(this, ElideQuotedToFit(Problem, fontMetrics(), Width),
                       [this, Problem] { ShowDataProblem(Problem); });
}
