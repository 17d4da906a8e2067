// The window on its own: controls at start, tab order, accelerators, the
// client identifier, the log, the enabling rules, the style and error boxes.

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include "TListBox.h"
#include "LogBox.h"
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "Style.h"
#include "TApplication.h"
#include "TRadioGroup.h"

namespace {

struct TControlCase {
  const char *Name;
  QRect Geometry;
  QString Text; // caption or text; for a labelled edit, the label
  bool Enabled;
  const char *ParentName;
};

QString Caption(QWidget *W)
{
  if (auto *B = qobject_cast<QPushButton *>(W))
    return B->text();
  if (auto *C = qobject_cast<QCheckBox *>(W))
    return C->text();
  if (auto *G = qobject_cast<QGroupBox *>(W))
    return G->title();
  if (auto *L = qobject_cast<QLabel *>(W))
    return L->text();
  if (auto *E = qobject_cast<QLineEdit *>(W))
    return E->text();
  if (auto *M = qobject_cast<TLogBox *>(W))
    return M->Text();
  return {};
}

QLabel *LabelOf(TfrmMain &Window, QWidget *Edit)
{
  for (QLabel *Label : Window.findChildren<QLabel *>())
    if (Label->buddy() == Edit)
      return Label;
  return nullptr;
}

// Buttons in the order of the enabling table.
std::vector<QPushButton *> TableButtons(TfrmMain &W)
{
  return {W.btnConn, W.btnDisc, W.btnAct, W.btnInac, W.btnSubs, W.btnPub, W.btnUnsub};
}

QString ButtonStates(TfrmMain &W)
{
  QString States;
  for (QPushButton *B : TableButtons(W))
    States += B->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
  return States;
}

void SetButtonStates(TfrmMain &W, const QString &States)
{
  auto Buttons = TableButtons(W);
  for (size_t I = 0; I < Buttons.size(); ++I)
    Buttons[I]->setEnabled(States[qsizetype(I)] == QLatin1Char('1'));
}

// Clicks a row of the list box as a user would.
void ClickRow(TfrmMain &W, int Row)
{
  const QRect Rect = W.lbxTopic->visualRect(W.lbxTopic->model()->index(Row, 0));
  QTest::mouseClick(W.lbxTopic->viewport(), Qt::LeftButton, {}, Rect.center());
}

} // namespace

TEST(Window, StartsWithEveryControlInPlace)
{
  TTestWindow W;
  EXPECT_EQ(W->windowTitle(), "Vyr MQTT Client v2.1");
  EXPECT_EQ(W->size(), QSize(644, 511));
  EXPECT_EQ(W->minimumSize(), W->maximumSize()) << "not resizable";
  EXPECT_FALSE(W->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(W->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(W->font().families().contains("Tahoma"));
  EXPECT_EQ(W->font().pointSize(), 8);

  const TControlCase Cases[] = {
      {"gpxLog", {8, 8, 417, 301}, "&Log", true, "frmMain"},
      {"gpxTopic", {8, 310, 621, 193}, "&Topics", true, "frmMain"},
      {"edtBroker", {486, 16, 143, 21}, "test.mosquitto.org", true, "frmMain"},
      {"edtPort", {486, 43, 143, 21}, "8883", true, "frmMain"},
      {"edtUser", {486, 70, 143, 21}, "", true, "frmMain"},
      {"edtPW", {486, 97, 143, 21}, "", true, "frmMain"},
      {"rdgClean", {537, 148, 92, 32}, "Clean Session", true, "frmMain"},
      {"btnConn", {443, 186, 92, 25}, "&Connect", true, "frmMain"},
      {"btnDisc", {537, 186, 92, 25}, "&Disconnect", false, "frmMain"},
      {"btnAct", {443, 210, 92, 25}, "&Active", false, "frmMain"},
      {"btnInac", {537, 210, 92, 25}, "&Inactive", false, "frmMain"},
      {"btnSubs", {443, 248, 58, 25}, "Subscribe", false, "frmMain"},
      {"edtTopic", {507, 250, 122, 21}, "", true, "frmMain"},
      {"rdgQosSub", {443, 277, 186, 32}, "QoS", true, "frmMain"},
      {"rdgSSL", {443, 148, 92, 32}, "Use SSL", true, "frmMain"},
      {"memLog", {8, 16, 401, 247}, "", true, "gpxLog"},
      {"chkLogWrap", {8, 273, 73, 17}, "Wrap lines", true, "gpxLog"},
      {"btnClearLog", {317, 269, 92, 25}, "Clear Log", true, "gpxLog"},
      {"sttConnection", {137, 273, 143, 17}, "Offline", true, "gpxLog"},
      {"rdgRetain", {83, 152, 89, 32}, "Retain", true, "gpxTopic"},
      {"btnPub", {273, 159, 50, 25}, "Publish", false, "gpxTopic"},
      {"edtMessage", {329, 163, 207, 21}, "", true, "gpxTopic"},
      {"btnUnsub", {542, 159, 71, 25}, "Unsubscribe", false, "gpxTopic"},
      {"rdgQosPub", {178, 152, 89, 32}, "QoS", true, "gpxTopic"},
      {"lbxTopic", {8, 16, 605, 137}, "", true, "gpxTopic"},
      {"chkSave", {8, 164, 69, 17}, "Save data", true, "gpxTopic"},
  };
  for (const TControlCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    auto *Control = W->findChild<QWidget *>(QString::fromLatin1(C.Name));
    ASSERT_NE(Control, nullptr);
    EXPECT_EQ(Control->geometry(), C.Geometry);
    EXPECT_EQ(Caption(Control), C.Text);
    EXPECT_EQ(Control->isEnabled(), C.Enabled);
    EXPECT_EQ(Control->parentWidget()->objectName(), C.ParentName);
  }
  EXPECT_EQ(W->edtPW->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(W->chkLogWrap->isChecked());
  EXPECT_FALSE(W->chkSave->isChecked());
  EXPECT_TRUE(W->memLog->Wrap());
  EXPECT_EQ(W->memLog->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(W->lbxTopic->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(W->lbxTopic->model()->rowCount(), 0);
  EXPECT_EQ(W->PendingList().Count(), 0);

  const std::pair<QLineEdit *, QString> Labels[] = {{W->edtBroker, "&Broker"}, {W->edtPort, "&Port"},
                                                    {W->edtUser, "&User"},     {W->edtPW, "Pass&word"},
                                                    {W->edtClientID, "Clie&nt ID"}};
  for (const auto &[Edit, Text] : Labels) {
    QLabel *Label = LabelOf(*W, Edit);
    ASSERT_NE(Label, nullptr) << Text.toStdString();
    EXPECT_EQ(Label->text(), Text);
    EXPECT_LE(Label->geometry().right(), Edit->geometry().left()) << "label on the left";
  }

  struct TRadioCase {
    TRadioGroup *Group;
    QStringList Items;
    int Selected;
  };
  const TRadioCase Radios[] = {{W->rdgClean, {"Yes", "No"}, 0},     {W->rdgSSL, {"Yes", "No"}, 0},
                               {W->rdgQosSub, {"0", "1", "2"}, 0}, {W->rdgRetain, {"Yes", "No"}, 1},
                               {W->rdgQosPub, {"0", "1", "2"}, 0}};
  for (const TRadioCase &R : Radios) {
    SCOPED_TRACE(R.Group->objectName().toStdString());
    ASSERT_EQ(R.Group->Count(), R.Items.size());
    for (int I = 0; I < R.Group->Count(); ++I) {
      EXPECT_EQ(R.Group->Button(I)->text(), R.Items[I]);
      // Columns: every item on one row, left to right.
      if (I > 0) {
        EXPECT_GT(R.Group->Button(I)->x(), R.Group->Button(I - 1)->x());
      }
    }
    EXPECT_EQ(R.Group->ItemIndex(), R.Selected);
  }
}

TEST(Window, TabOrderFollowsTheLayout)
{
  TTestWindow W;
  // Radio groups take part through their buttons.
  const std::vector<QWidget *> Expected = {
      W->memLog,    W->chkLogWrap, W->btnClearLog, W->rdgRetain,   W->btnPub,  W->edtMessage,
      W->btnUnsub,  W->rdgQosPub,  W->lbxTopic,    W->chkSave,     W->edtBroker, W->edtPort,
      W->edtUser,   W->edtPW,      W->edtClientID, W->rdgClean,    W->btnConn, W->btnDisc,
      W->btnAct,    W->btnInac,    W->btnSubs,     W->edtTopic,    W->rdgQosSub, W->rdgSSL};
  std::vector<QWidget *> Seen;
  QWidget *Current = W.Window.get();
  for (int Step = 0; Step < 200; ++Step) {
    Current = Current->nextInFocusChain();
    if (Current == W.Window.get())
      break;
    QWidget *Named = Current;
    while (Named && std::find(Expected.begin(), Expected.end(), Named) == Expected.end())
      Named = Named->parentWidget();
    if (Named && (Current->focusPolicy() & Qt::TabFocus) && (Seen.empty() || Seen.back() != Named))
      Seen.push_back(Named);
  }
  ASSERT_EQ(Seen.size(), Expected.size());
  for (size_t I = 0; I < Expected.size(); ++I)
    EXPECT_EQ(Seen[I], Expected[I]) << "position " << I << ": " << Seen[I]->objectName().toStdString();
}

// The log has the focus when the window opens, so the Alt of the first
// accelerator lands there; and a visit of its edit box must not leave the
// group's accelerator pointing at the hidden edit box.
TEST(Window, AltLReachesTheLogAfterAltAloneAndAfterAnEdit)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  W->show();
  W->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(W.Window.get()));
  auto AltKey = [](Qt::Key aKey) {
    QTest::keyClick(QApplication::focusWidget(), aKey, Qt::AltModifier);
    QCoreApplication::processEvents();
  };
  W->memLog->setFocus();
  QTest::keyPress(W->memLog, Qt::Key_Alt, Qt::AltModifier);
  EXPECT_FALSE(W->memLog->Editing()) << "Alt alone opened the edit box";
  AltKey(Qt::Key_P);
  AltKey(Qt::Key_L);
  EXPECT_EQ(QApplication::focusWidget(), W->memLog);

  // A key that opens the edit box, the focus away, and back with Alt+L.
  QTest::keyClick(W->memLog, Qt::Key_Down);
  ASSERT_TRUE(W->memLog->Editing());
  AltKey(Qt::Key_P);
  ASSERT_FALSE(W->memLog->Editing());
  AltKey(Qt::Key_L);
  EXPECT_EQ(QApplication::focusWidget(), W->memLog);
}

TEST(Window, AcceleratorsFocusTheLabelledBoxOrClickTheButton)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  W->show();
  W->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(W.Window.get()));
  // Nothing may leave the machine: the client's target is a closed loopback port.
  W->edtBroker->setText("127.0.0.1");
  W->edtPort->setText("1");

  struct TFocusCase {
    Qt::Key Key;
    QWidget *Expected;
  };
  const TFocusCase Focus[] = {{Qt::Key_B, W->edtBroker}, {Qt::Key_P, W->edtPort},    {Qt::Key_U, W->edtUser},
                              {Qt::Key_W, W->edtPW},     {Qt::Key_N, W->edtClientID}, {Qt::Key_L, W->memLog},
                              {Qt::Key_T, W->rdgRetain}};
  for (const TFocusCase &C : Focus) {
    SCOPED_TRACE(QKeySequence(C.Key).toString().toStdString());
    W->edtTopic->setFocus();
    QTest::keyClick(W->edtTopic, C.Key, Qt::AltModifier);
    QWidget *Focused = QApplication::focusWidget();
    ASSERT_NE(Focused, nullptr);
    EXPECT_TRUE(Focused == C.Expected || C.Expected->isAncestorOf(Focused))
        << Focused->objectName().toStdString();
  }

  struct TClickCase {
    Qt::Key Key;
    QPushButton *Button;
  };
  const TClickCase Clicks[] = {{Qt::Key_C, W->btnConn}, {Qt::Key_D, W->btnDisc}, {Qt::Key_A, W->btnAct},
                               {Qt::Key_I, W->btnInac}};
  for (const TClickCase &C : Clicks) {
    SCOPED_TRACE(C.Button->objectName().toStdString());
    C.Button->setEnabled(true);
    QSignalSpy Clicked(C.Button, &QPushButton::clicked);
    QTest::keyClick(W->edtTopic, C.Key, Qt::AltModifier);
    // An accelerator animates the click: the signal follows a moment later.
    EXPECT_TRUE(WaitFor([&] { return Clicked.count() == 1; }));
    // A disabled button ignores its accelerator.
    C.Button->setEnabled(false);
    QTest::keyClick(W->edtTopic, C.Key, Qt::AltModifier);
    RunLoop(300);
    EXPECT_EQ(Clicked.count(), 1);
  }
  EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join(" | ").toStdString();
}

TEST(Window, ClientIdentifierIsTheTimeOfDayInUnitsOf864Milliseconds)
{
  const std::pair<QTime, QString> Cases[] = {
      {QTime(0, 0, 0, 0), "Vyr-0"},         {QTime(0, 0, 0, 799), "Vyr-0"},
      {QTime(0, 0, 0, 864), "Vyr-1"},       {QTime(0, 0, 1, 727), "Vyr-1"},
      {QTime(0, 0, 1, 728), "Vyr-2"},       {QTime(12, 0, 0, 0), "Vyr-50000"},
      {QTime(6, 0, 0, 0), "Vyr-25000"},     {QTime(23, 59, 59, 999), "Vyr-99999"},
  };
  for (const auto &[Time, Expected] : Cases)
    EXPECT_EQ(MakeClientID(QDateTime(QDate(2024, 5, 7), Time)), Expected) << Time.toString().toStdString();

  const QString Before = MakeClientID(QDateTime::currentDateTime());
  TTestWindow W;
  const QString After = MakeClientID(QDateTime::currentDateTime());
  const QString Shown = W->edtClientID->text();
  EXPECT_TRUE(Shown == Before || Shown == After) << Shown.toStdString();
  // Writing the identifier ran the rule of Connect.
  EXPECT_TRUE(W->btnConn->isEnabled());
}

TEST(Window, LogLinesCarryALocalTimeStamp)
{
  const QDateTime Moment(QDate(2024, 5, 7), QTime(14, 3, 9, 45));
  // Finnish writes its times as 14.03.
  const std::pair<QLocale, QString> Cases[] = {
      {QLocale::c(), "2024-05-07 14:03:09 "},
      {QLocale(QLocale::English, QLocale::UnitedStates), "2024-05-07 14:03:09 "},
      {QLocale(QLocale::Finnish, QLocale::Finland), "2024-05-07 14.03.09 "},
  };
  EXPECT_EQ(LogTimeStamp(Moment, QLocale::c()).size(), 20);
  for (const auto &[Locale, Expected] : Cases)
    EXPECT_EQ(LogTimeStamp(Moment, Locale), Expected) << Locale.name().toStdString();

  TTestWindow W;
  W->AddLog("Client online");
  W->AddLog("a/b=3");
  const QStringList Lines = LogLines(*W);
  ASSERT_EQ(Lines.size(), 2);
  const QRegularExpression Stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d.\\d\\d.\\d\\d ");
  EXPECT_TRUE(Stamp.match(Lines[0]).hasMatch()) << Lines[0].toStdString();
  EXPECT_TRUE(Lines[0].endsWith(" Client online"));
  EXPECT_EQ(Lines[1].mid(20), "a/b=3");
}

TEST(Window, WrapLinesAndClearLogActOnTheLogOnly)
{
  TTestWindow W;
  W->AddLog(QString(300, 'x'));
  W->edtTopic->setText("keep");
  QTest::mouseClick(W->chkLogWrap, Qt::LeftButton);
  EXPECT_FALSE(W->chkLogWrap->isChecked());
  EXPECT_FALSE(W->memLog->Wrap());
  EXPECT_EQ(W->memLog->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  QTest::mouseClick(W->chkLogWrap, Qt::LeftButton);
  EXPECT_TRUE(W->memLog->Wrap());

  const QString Before = ButtonStates(*W);
  QTest::mouseClick(W->btnClearLog, Qt::LeftButton);
  EXPECT_TRUE(W->memLog->Text().isEmpty());
  EXPECT_EQ(ButtonStates(*W), Before);
  EXPECT_EQ(W->edtTopic->text(), "keep");
  EXPECT_TRUE(W->btnClearLog->isEnabled());
}

// Each case starts from the given button states (Connect, Disconnect, Active,
// Inactive, Subscribe, Publish, Unsubscribe), runs one event and checks the
// states afterwards.
TEST(Window, EnablingTable)
{
  struct TCase {
    const char *Event;
    std::function<void(TfrmMain &)> Setup;
    QString Before;
    std::function<void(TfrmMain &)> Action;
    QString After;
  };
  auto None = [](TfrmMain &) {};
  auto TwoTopics = [](TfrmMain &W) {
    W.UpdateTopic("a", QString("1"));
    W.UpdateTopic("b", QString("2"));
  };
  const TCase Cases[] = {
      {"Broker emptied: Connect and Active off", None, "1111111",
       [](TfrmMain &W) { W.edtBroker->clear(); }, "0101111"},
      {"Port emptied", None, "1010000", [](TfrmMain &W) { W.edtPort->clear(); }, "0000000"},
      {"Client ID emptied", None, "1010000", [](TfrmMain &W) { W.edtClientID->clear(); }, "0000000"},
      {"typing into the empty box again: Connect on, Active stays off",
       [](TfrmMain &W) { W.edtBroker->clear(); }, "0000000", [](TfrmMain &W) { W.edtBroker->setText("h"); },
       "1000000"},
      {"edit while Connect is already off: Active keeps its state",
       [](TfrmMain &W) { W.edtClientID->clear(); }, "0010000", [](TfrmMain &W) { W.edtPort->setText("1"); },
       "0010000"},
      {"edit while online re-enables Connect", None, "0101100",
       [](TfrmMain &W) { W.edtBroker->setText("other"); }, "1101100"},
      {"Topic typed while offline: Subscribe off", None, "1000100",
       [](TfrmMain &W) { W.edtTopic->setText("a/b"); }, "1000000"},
      {"Message typed without a selected line: Publish off", TwoTopics, "0000010",
       [](TfrmMain &W) { W.edtMessage->setText("m"); }, "0000000"},
      {"Message typed with a selected line: Publish on",
       [](TfrmMain &W) {
         W.UpdateTopic("a", QString("1"));
         ClickRow(W, 0);
       },
       "0000000", [](TfrmMain &W) { W.edtMessage->setText("m"); }, "0000010"},
      {"Message emptied with a selected line: Publish off",
       [](TfrmMain &W) {
         W.UpdateTopic("a", QString("1"));
         ClickRow(W, 0);
         W.edtMessage->setText("m");
       },
       "0000010", [](TfrmMain &W) { W.edtMessage->setText(""); }, "0000000"},
      {"user selects a line: Unsubscribe on (Publish untouched)",
       [](TfrmMain &W) {
         W.UpdateTopic("a", QString("1"));
         W.edtMessage->setText("m");
       },
       "0000000", [](TfrmMain &W) { ClickRow(W, 0); }, "0000001"},
      {"Unsubscribe clicked with nothing selected: off", TwoTopics, "0000001",
       [](TfrmMain &W) { QTest::mouseClick(W.btnUnsub, Qt::LeftButton); }, "0000000"},
      {"topic list updated: Publish back as before", None, "0000010",
       [](TfrmMain &W) { W.UpdateTopic("c", QString("3")); }, "0000010"},
      {"client online", [](TfrmMain &W) { W.edtTopic->setText("t"); }, "1010011",
       [](TfrmMain &W) { W.mqtOnline(W.mqt.get()); }, "0101011"},
      {"client offline", None, "0101111", [](TfrmMain &W) { W.mqtOffline(W.mqt.get(), true); }, "1010011"},
      {"Connect clicked changes no button", [](TfrmMain &W) { W.edtBroker->setText("127.0.0.1"); }, "1000011",
       [](TfrmMain &W) {
         W.edtPort->setText("1");
         W.btnConn->setEnabled(true);
         QTest::mouseClick(W.btnConn, Qt::LeftButton);
       },
       "1000011"},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Event);
    TErrorBoxes Boxes;
    TTestWindow W;
    W->show();
    C.Setup(*W);
    SetButtonStates(*W, C.Before);
    C.Action(*W);
    EXPECT_EQ(ButtonStates(*W), C.After);
    EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join(" | ").toStdString();
    W->mqt->Activate(false);
  }
}

TEST(Window, PublishIsDisabledWhileTheTopicListUpdates)
{
  TTestWindow W;
  W->btnPub->setEnabled(true);
  std::vector<bool> Seen;
  // Runs inside the update, when it lets pending events through.
  QTimer::singleShot(0, W.Window.get(), [&] { Seen.push_back(W->btnPub->isEnabled()); });
  W->UpdateTopic("x", QString("1"));
  ASSERT_EQ(Seen.size(), 1u);
  EXPECT_FALSE(Seen[0]);
  EXPECT_TRUE(W->btnPub->isEnabled());
}

TEST(Window, StatusBoxAndLogFollowTheClientsEvents)
{
  TTestWindow W;
  W->mqtOnline(W->mqt.get());
  EXPECT_EQ(W->sttConnection->text(), "Insecure");
  W->mqtFailure(W->mqt.get(), 1, *std::make_unique<bool>(true));
  W->mqtMon(W->mqt.get(), "Connection ACCEPTED");
  W->mqtOffline(W->mqt.get(), false);
  EXPECT_EQ(W->sttConnection->text(), "Offline");
  QStringList Texts;
  for (const QString &Line : LogLines(*W))
    Texts << Line.mid(20);
  EXPECT_EQ(Texts, QStringList({"Client online", "Insecure Connection", "Failure: 1",
                                "Status: Connection ACCEPTED", "Client offline"}));
}

TEST(Window, GlossyStyleIsCarriedInTheProgram)
{
  TErrorBoxes Boxes;
  EXPECT_TRUE(ApplyStyle("Glossy"));
  EXPECT_TRUE(qApp->styleSheet().contains("QPushButton"));
  EXPECT_TRUE(Boxes.Texts.isEmpty());

  qApp->setStyleSheet(QString());
  EXPECT_FALSE(ApplyStyle("Chrome"));
  EXPECT_EQ(Boxes.Texts, QStringList("Style 'Chrome' not found"));
  EXPECT_TRUE(qApp->styleSheet().isEmpty()) << "the standard look stays";
}

// An exception escaping a handler shows an error box and the program goes on.
TEST(Window, BadPortShowsTheConversionErrorAndStopsConnect)
{
  struct TCase {
    QString Port;
    QString Box;
  };
  const TCase Cases[] = {{"88x3", "'88x3' is not a valid integer value"},
                         {"", "'' is not a valid integer value"},
                         {"99999999999", "'99999999999' is not a valid integer value"}};
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Port.toStdString());
    TErrorBoxes Boxes;
    TTestWindow W;
    W->show();
    W->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W.Window.get()));
    W->edtBroker->setText("127.0.0.1");
    W->edtPort->setText(C.Port);
    W->btnConn->setEnabled(true);
    W->edtClientID->setFocus();
    QTest::keyClick(W->edtClientID, Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(WaitFor([&] { return !Boxes.Texts.isEmpty(); }));
    EXPECT_EQ(Boxes.Texts, QStringList(C.Box));
    EXPECT_EQ(W->mqt->Host(), "127.0.0.1") << "the step before the port stays done";
    EXPECT_FALSE(W->mqt->Enabled()) << "nothing after the port happens";
    // The window still works.
    W->AddLog("after");
    EXPECT_TRUE(W->memLog->Text().endsWith("after"));
  }
}

TEST(Window, ExceptionsFromEventHandlersAreShownByTheLoop)
{
  struct TThrower : QObject {
    bool event(QEvent *E) override
    {
      if (E->type() == QEvent::User)
        throw std::runtime_error("handler failed");
      return QObject::event(E);
    }
  };
  TErrorBoxes Boxes;
  TThrower Target;
  QCoreApplication::postEvent(&Target, new QEvent(QEvent::User));
  EXPECT_TRUE(WaitFor([&] { return !Boxes.Texts.isEmpty(); }));
  EXPECT_EQ(Boxes.Texts, QStringList("handler failed"));
  // The loop carries on.
  bool Ran = false;
  QTimer::singleShot(0, [&] { Ran = true; });
  EXPECT_TRUE(WaitFor([&] { return Ran; }));
}

TEST(Window, IdleHandlerRunsWhenTheLoopHasNothingToDoAndNeverNests)
{
  auto *App = TApplication::Instance();
  ASSERT_NE(App, nullptr);
  int Calls = 0;
  int Depth = 0;
  int MaxDepth = 0;
  App->OnIdle = [&](QObject *, bool &Done) {
    EXPECT_TRUE(Done);
    ++Calls;
    MaxDepth = std::max(MaxDepth, ++Depth);
    // A nested loop inside the handler does not raise the notification again.
    RunLoop(20);
    --Depth;
  };
  RunLoop(200);
  App->OnIdle = nullptr;
  EXPECT_GT(Calls, 0);
  EXPECT_EQ(MaxDepth, 1);
}

TEST(Window, TabAndShiftTabLeaveTheLogWhichStaysEditable)
{
  TTestWindow W;
  W->show();
  W->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(W.Window.get()));
  W->memLog->setFocus();
  QTest::keyClicks(W->memLog, "note");
  EXPECT_EQ(W->memLog->Text(), "note");
  struct TKeyCase {
    Qt::Key Key;
    Qt::KeyboardModifiers Modifiers;
    QWidget *Next;
  };
  const TKeyCase Cases[] = {{Qt::Key_Tab, Qt::NoModifier, W->chkLogWrap},
                            {Qt::Key_Backtab, Qt::ShiftModifier, W->rdgSSL}};
  for (const TKeyCase &C : Cases) {
    SCOPED_TRACE(C.Next->objectName().toStdString());
    W->memLog->setFocus();
    QTest::keyClick(W->memLog, C.Key, C.Modifiers);
    QWidget *Focused = QApplication::focusWidget();
    ASSERT_NE(Focused, nullptr);
    EXPECT_TRUE(Focused == C.Next || C.Next->isAncestorOf(Focused)) << Focused->objectName().toStdString();
    EXPECT_EQ(W->memLog->Text(), "note") << "no tab character in the log";
  }
}

TEST(Window, PasswordBoxShowsAStarForEachCharacter)
{
  TTestWindow W;
  W->edtPW->setText(QString::fromUtf8("pä ss"));
  EXPECT_EQ(W->edtPW->displayText(), "*****");
  EXPECT_EQ(W->edtPW->text(), QString::fromUtf8("pä ss"));
}

// Assistive technology names each control as a sighted user reads it, not
// after the group box around it.
TEST(Window, ControlsHaveTheNamesReadBesideThem)
{
  TTestWindow W;
  W->show();
  const std::pair<QWidget *, QString> Cases[] = {
      {W->edtMessage, "Message"}, {W->edtTopic, "Topic"},   {W->rdgRetain, "Retain"},
      {W->rdgQosPub, "QoS"},      {W->rdgQosSub, "QoS"},    {W->memLog, "Log"},
      {W->lbxTopic, "Topics"},    {W->chkSave, "Save data"}, {W->chkLogWrap, "Wrap lines"},
  };
  for (const auto &[Widget, Name] : Cases) {
    QAccessibleInterface *Face = QAccessible::queryAccessibleInterface(Widget);
    ASSERT_NE(Face, nullptr) << Name.toStdString();
    EXPECT_EQ(Face->text(QAccessible::Name), Name);
  }
}

// The log gives its text line by line and its caret, the topic list its rows
// with the selected one marked, through Qt's accessibility framework.
TEST(Window, TheLogAndTheListAreReadByAssistiveTechnology)
{
  TTestWindow W;
  W->show();
  W->AddLog("first");
  W->AddLog("second line");
  QAccessibleInterface *Log = QAccessible::queryAccessibleInterface(W->memLog);
  ASSERT_NE(Log, nullptr);
  EXPECT_EQ(Log->role(), QAccessible::EditableText);
  QAccessibleTextInterface *Text = Log->textInterface();
  ASSERT_NE(Text, nullptr);
  const QString All = W->memLog->Text();
  EXPECT_EQ(Text->characterCount(), All.size());
  EXPECT_EQ(Text->cursorPosition(), All.size()) << "the caret after the last line";
  int Start = -1, End = -1;
  EXPECT_TRUE(Text->textAtOffset(All.size() - 1, QAccessible::LineBoundary, &Start, &End).endsWith("second line"));
  EXPECT_EQ(End, All.size());
  EXPECT_TRUE(Text->textAtOffset(0, QAccessible::LineBoundary, &Start, &End).endsWith("first\n"));
  EXPECT_EQ(Start, 0);
  EXPECT_TRUE(Text->textAfterOffset(0, QAccessible::LineBoundary, &Start, &End).endsWith("second line"));
  // In the edit box the caret is where the user puts it.
  W->memLog->setFocus();
  QTest::mouseClick(W->memLog->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  ASSERT_TRUE(W->memLog->Editing());
  Text->setCursorPosition(3);
  EXPECT_EQ(Text->cursorPosition(), 3);

  W->UpdateTopic("a", QString("1"));
  W->UpdateTopic("b", QString("2"));
  W->lbxTopic->setCurrentIndex(W->lbxTopic->model()->index(1, 0));
  QAccessibleInterface *List = QAccessible::queryAccessibleInterface(W->lbxTopic);
  ASSERT_NE(List, nullptr);
  EXPECT_EQ(List->role(), QAccessible::List);
  ASSERT_EQ(List->childCount(), 2);
  const QStringList Rows{"a=1", "b=2"};
  for (int Row = 0; Row < 2; ++Row) {
    QAccessibleInterface *Item = List->child(Row);
    ASSERT_NE(Item, nullptr);
    EXPECT_EQ(Item->role(), QAccessible::ListItem);
    EXPECT_EQ(Item->text(QAccessible::Name), Rows[Row]);
    EXPECT_EQ(Item->state().selected, Row == 1);
    EXPECT_EQ(List->indexOfChild(Item), Row);
    EXPECT_EQ(Item->parent(), List);
  }
}
