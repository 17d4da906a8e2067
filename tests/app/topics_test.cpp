// The topic half of the window without a broker: the topic list and its
// selection rule, the queue of received messages drained when idle, the data
// files and the code page.

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include "TListBox.h"
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "DataFile.h"
#include "DataFileNames.h"
#include "ShownText.h"
#include "TRadioGroup.h"

namespace {

void Receive(TfrmMain &W, const std::string &Topic, const std::string &Payload)
{
  W.mqtMsg(W.mqt.get(), Topic, Payload, qtAT_MOST_ONCE, false);
}

// Makes a code page the program's ANSI code page while it lives.
struct TAnsiCodePage {
  explicit TAnsiCodePage(std::unique_ptr<TCodePage> CodePage) { TCodePage::SetAnsi(std::move(CodePage)); }
  ~TAnsiCodePage() { TCodePage::SetAnsi(nullptr); }
};

bool Drained(TfrmMain &W)
{
  return W.PendingList().Count() == 0;
}

QStringList LogTexts(TfrmMain &W)
{
  QStringList Texts;
  for (const QString &Line : LogLines(W))
    Texts << Line.mid(20);
  return Texts;
}

QStringList DataLines(const QString &Path)
{
  const QByteArray Bytes = FileBytes(Path);
  QStringList Lines = QString::fromLatin1(Bytes).split("\r\n");
  if (!Lines.isEmpty() && Lines.last().isEmpty())
    Lines.removeLast();
  return Lines;
}

} // namespace

// The selection follows the position, not the topic.
TEST(Topics, UpdateTopicKeepsTheSelectedPosition)
{
  struct TCase {
    const char *Name;
    QStringList Start; // topics given the value "v" first, in this order
    int Selected;      // row selected before the update, -1 for none
    QString Topic;
    std::optional<QString> Value;
    QStringList Lines;
    int SelectedAfter;
  };
  const TCase Cases[] = {
      {"new topic sorts in before the selected line", {"b", "c"}, 0, "a", QString("1"), {"a=1", "b=v", "c=v"}, 0},
      {"new topic after the selection", {"b", "c"}, 1, "d", QString("1"), {"b=v", "c=v", "d=1"}, 1},
      {"nothing selected stays unselected", {"b", "c"}, -1, "a", QString("1"), {"a=1", "b=v", "c=v"}, -1},
      {"value replaced in place, re-sorted", {"a", "b"}, 1, "a", QString("z"), {"a=z", "b=v"}, 1},
      {"whole-line sort: value decides between a and a/b", {"a/b"}, -1, "a", QString("zz"), {"a/b=v", "a=zz"}, -1},
      {"removal takes the selected line and clears the selection", {"a", "b", "c"}, 1, "b", std::nullopt,
       {"a=v", "c=v"}, -1},
      {"removal without a selection removes nothing", {"a", "b"}, -1, "a", std::nullopt, {"a=v", "b=v"}, -1},
      {"removal takes the selected line, whatever topic is named", {"a", "b"}, 0, "b", std::nullopt, {"b=v"}, -1},
      {"subscribing again writes [subscribed]", {"s/#"}, 0, "S/#", QString("[subscribed]"), {"S/#=[subscribed]"},
       0},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TTestWindow W;
    for (const QString &Topic : C.Start)
      W->UpdateTopic(Topic, QString("v"));
    if (C.Selected >= 0) {
      W->lbxTopic->setCurrentIndex(W->lbxTopic->model()->index(C.Selected, 0));
      ASSERT_EQ(W->SelectedTopicRow(), C.Selected);
    }
    QSignalSpy Clicks(W->btnUnsub, &QPushButton::clicked);
    const bool UnsubBefore = W->btnUnsub->isEnabled();
    W->UpdateTopic(C.Topic, C.Value);
    EXPECT_EQ(ShownTopics(*W), C.Lines);
    EXPECT_EQ(W->SelectedTopicRow(), C.SelectedAfter);
    EXPECT_EQ(W->btnUnsub->isEnabled(), UnsubBefore) << "setting the selection is not the user's click";
  }
}

// The list and the log show the latest value at each pass; the data file is
// the record of every value received, in arrival order.
TEST(Topics, ThreeMessagesBeforeIdleGiveOneListLineAndEveryDataLine)
{
  TTestWindow W;
  W->chkSave->setChecked(true);
  QSignalSpy Inserted(W->lbxTopic->model(), &QAbstractItemModel::rowsInserted);
  QSignalSpy Changed(W->lbxTopic->model(), &QAbstractItemModel::dataChanged);
  Receive(*W, "a/b", "1");
  Receive(*W, "a/b", "2");
  Receive(*W, "a/b", "3");
  EXPECT_EQ(W->PendingList().Count(), 1);
  EXPECT_EQ(W->PendingList().Line(0), "a/b=3");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  RunLoop(50);
  EXPECT_EQ(LogTexts(*W), QStringList("a/b=3"));
  EXPECT_EQ(Inserted.count() + Changed.count(), 1);
  EXPECT_EQ(ShownTopics(*W), QStringList("a/b=3"));
  const QStringList Data = DataLines(W.Data.filePath("a-b.csv"));
  ASSERT_EQ(Data.size(), 3);
  EXPECT_TRUE(Data[0].endsWith(";1"));
  EXPECT_TRUE(Data[1].endsWith(";2"));
  EXPECT_TRUE(Data[2].endsWith(";3"));
}

TEST(Topics, ReceivedMessagesFollowTheLineRules)
{
  struct TCase {
    const char *Name;
    std::vector<std::pair<std::string, std::string>> Messages; // all before idle
    QStringList Shown;
    QStringList Logged;
    QStringList Files; // data files written
  };
  const TCase Cases[] = {
      {"an empty payload is never shown or saved and cancels the pending one, whose value is saved",
       {{"a/b", "1"}, {"a/b", ""}, {"c", ""}},
       {},
       {},
       {"a-b.csv"}},
      {"a payload of one NUL byte is a value like any other",
       {{"z", std::string(1, '\0')}},
       {QString("z=") + QChar(0)},
       {QString("z=") + QChar(0)},
       {"z.csv"}},
      {"\"=\" in a topic: split at the first \"=\" in the list, the whole topic names the file",
       {{"a=b", "x"}},
       {"a=b=x"},
       {"a=b=x"},
       {"a=b.csv"}},
      {"topics differing in case share one line, in the case of the latest, and keep their files",
       {{"Home/Temp", "1"}, {"home/temp", "2"}},
       {"home/temp=2"},
       {"home/temp=2"},
       {"Home-Temp.csv", "home-temp.csv"}},
      {"lines are processed in the order their topics became pending",
       {{"b", "1"}, {"a", "2"}, {"b", "3"}},
       {"a=2", "b=3"},
       {"b=3", "a=2"},
       {"a.csv", "b.csv"}},
      {"a topic starting with / writes -x.csv", {{"/x", "1"}}, {"/x=1"}, {"/x=1"}, {"-x.csv"}},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TTestWindow W;
    W->chkSave->setChecked(true);
    for (const auto &[Topic, Payload] : C.Messages)
      Receive(*W, Topic, Payload);
    ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
    RunLoop(30);
    EXPECT_EQ(ShownTopics(*W), C.Shown);
    EXPECT_EQ(LogTexts(*W), C.Logged);
    QStringList Files = QDir(W.Data.path()).entryList({"*.csv"}, QDir::Files, QDir::Name);
    QStringList Expected = C.Files;
    Files.sort(Qt::CaseInsensitive);
    Expected.sort(Qt::CaseInsensitive);
    EXPECT_EQ(Files, Expected);
  }
}

TEST(Topics, ALaterCaseFoldedTopicKeepsOneFileLineAndOneListLine)
{
  TTestWindow W;
  Receive(*W, "Home/Temp", "1");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  Receive(*W, "home/temp", "2");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_EQ(ShownTopics(*W), QStringList("home/temp=2"));
}

TEST(Topics, SubscribeShowsTheFilterAndMessagesSortByWholeLine)
{
  TTestWindow W;
  W->edtTopic->setText("sensors/#");
  W->btnSubsClick(W->btnSubs);
  EXPECT_EQ(ShownTopics(*W), QStringList("sensors/#=[subscribed]"));
  EXPECT_EQ(W->edtTopic->text(), "sensors/#");
  Receive(*W, "sensors/t1", "21.5");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_EQ(ShownTopics(*W), QStringList({"sensors/#=[subscribed]", "sensors/t1=21.5"}));

  // Unsubscribing the selected message line names that topic and removes it;
  // a later message brings it back.
  W->show();
  W->lbxTopic->setCurrentIndex(W->lbxTopic->model()->index(1, 0));
  W->mqt->Subscribe("sensors/t1", qtAT_MOST_ONCE);
  auto Filters = [&] {
    std::vector<std::string> Texts;
    for (const TTaggedString &Entry : W->mqt->Subscriptions)
      Texts.push_back(Entry.Text);
    return Texts;
  };
  ASSERT_EQ(Filters(), (std::vector<std::string>{"sensors/#", "sensors/t1"}));
  W->btnUnsubClick(W->btnUnsub);
  EXPECT_EQ(Filters(), std::vector<std::string>{"sensors/#"}) << "UNSUBSCRIBE for sensors/t1, not the filter";
  EXPECT_EQ(ShownTopics(*W), QStringList("sensors/#=[subscribed]"));
  EXPECT_EQ(W->SelectedTopicRow(), -1);
  Receive(*W, "sensors/t1", "22");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_EQ(ShownTopics(*W), QStringList({"sensors/#=[subscribed]", "sensors/t1=22"}));
}

TEST(Topics, DataLinesCarryMillisecondsAndTheUtcOffset)
{
  // The tests run with TZ three hours behind UTC.
  TTestWindow W;
  W->chkSave->setChecked(true);
  Receive(*W, "home/kitchen/temp", "23.5");
  Receive(*W, "semi", "a;b");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  Receive(*W, "home/kitchen/temp", "24");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  const QByteArray Bytes = FileBytes(W.Data.filePath("home-kitchen-temp.csv"));
  const QRegularExpression Line(
      "^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}-03:00;23\\.5\\r\\n)"
      "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}-03:00;24\\r\\n)$");
  EXPECT_TRUE(Line.match(QString::fromLatin1(Bytes)).hasMatch()) << Bytes.toStdString();
  EXPECT_TRUE(FileBytes(W.Data.filePath("semi.csv")).endsWith("-03:00;\"a;b\"\r\n")) << "one quoted field";
  // Unchecked: nothing more is written.
  W->chkSave->setChecked(false);
  Receive(*W, "home/kitchen/temp", "25");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_EQ(FileBytes(W.Data.filePath("home-kitchen-temp.csv")), Bytes);
}

TEST(Topics, CafeUnderWindows1252)
{
  struct TCase {
    const char *Name;
    std::string Payload;
    QString Shown;
    QByteArray Saved;
  };
  const TCase Cases[] = {
      {"8-bit text is read in the code page", "caf\xE9", "t=caf\u00E9", "caf\xE9"},
      {"UTF-8 text is decoded as UTF-8", "caf\xC3\xA9", "t=caf\u00E9", "caf\xE9"},
      {"plain ASCII unchanged", "cafe", "t=cafe", "cafe"},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TTestWindow W;
    TAnsiCodePage Cp1252(TCodePage::Windows1252());
    W->chkSave->setChecked(true);
    Receive(*W, "t", C.Payload);
    ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
    EXPECT_EQ(ShownTopics(*W), QStringList(C.Shown));
    EXPECT_TRUE(FileBytes(W.Data.filePath("t.csv")).endsWith(";" + C.Saved + "\r\n"));
  }
}

TEST(Topics, PublishSendsTheSelectedTopicAndTheCodePageText)
{
  struct TCase {
    const char *Name;
    QString Topic;
    QString Text;
    int Qos;
    int Retain; // item of rdgRetain
    std::string Bytes; // empty: refused with an error box
  };
  const TCase Cases[] = {
      {"Windows-1252 text", "t", "caf\u00E9", 0, 1, "caf\xE9"},
      {"wildcard filter refused as a topic", "s/#", "on", 2, 0, ""},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TErrorBoxes Boxes;
    TTestWindow W;
    TAnsiCodePage Cp1252(TCodePage::Windows1252());
    W->show();
    // The client delivers its own publications back when they match a
    // subscription, so the bytes it was given can be seen without a broker.
    W->mqt->SetLocalBounce(true);
    W->mqt->Subscribe("#", qtAT_MOST_ONCE);
    std::vector<std::tuple<std::string, std::string, int>> Published;
    W->mqt->OnMsg = [&](TMQTTClient *, const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos,
                        bool) { Published.emplace_back(aTopic, aMessage, int(aQos)); };
    W->UpdateTopic(C.Topic, QString("[subscribed]"));
    W->btnPubClick(W->btnPub);
    EXPECT_TRUE(Published.empty()) << "nothing selected: nothing published";
    W->lbxTopic->setCurrentIndex(W->lbxTopic->model()->index(0, 0));
    W->edtMessage->setText(C.Text);
    W->rdgQosPub->SetItemIndex(C.Qos);
    W->rdgRetain->SetItemIndex(C.Retain);
    ASSERT_TRUE(W->btnPub->isEnabled());
    QTest::mouseClick(W->btnPub, Qt::LeftButton);
    if (C.Bytes.empty()) {
      EXPECT_TRUE(Published.empty());
      EXPECT_EQ(Boxes.Texts, QStringList("Not published: Topic contains the wildcard '#' at byte 2; "
                                         "wildcards belong in subscriptions only."));
      continue;
    }
    EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join(" | ").toStdString();
    ASSERT_EQ(Published.size(), 1u);
    EXPECT_EQ(std::get<0>(Published[0]), C.Topic.toStdString());
    EXPECT_EQ(std::get<1>(Published[0]), C.Bytes);
    EXPECT_EQ(std::get<2>(Published[0]), C.Qos);
    EXPECT_EQ(W->edtMessage->text(), C.Text) << "the Message box keeps its text";
    EXPECT_EQ(ShownTopics(*W).size(), 1);
  }
}

// A file where a folder of the data folder's path should be: the folder
// cannot be made until the file is gone.
QString BlockedFolder(TTestWindow &W)
{
  QFile Blocker(W.Data.filePath("blocked"));
  EXPECT_TRUE(Blocker.open(QIODevice::WriteOnly));
  return W.Data.filePath("blocked/data");
}

TEST(Topics, DataFolderMadeWithTheFirstSavedLineAndNamedInTheTooltip)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  const QString Folder = W.Data.filePath("share/vyr-mqtt");
  W->SetDataFolder(Folder);
  EXPECT_EQ(W->chkSave->toolTip(), "Data files go to " + Folder);
  EXPECT_FALSE(W->chkSave->isChecked()) << "telling where files go does not change the start state";
  Receive(*W, "a/b", "1");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_FALSE(QFileInfo::exists(Folder)) << "nothing saved, nothing made";
  W->chkSave->setChecked(true);
  Receive(*W, "a/b", "2");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_EQ(DataLines(Folder + "/a-b.csv").size(), 1);
  EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join('\n').toStdString();
}

// While the error box of a data line that cannot be written waits for OK (a
// modal box runs its own event loop, imitated here), the window goes on
// processing and saving other topics, and the failed line follows in order
// once its folder can be made.
TEST(Topics, DataFileErrorBoxDoesNotStopProcessingOrSaving)
{
  TTestWindow W;
  const QString Folder = BlockedFolder(W);
  QStringList Boxes;
  bool SeenWhileOpen = false;
  ErrorBoxHook = [&](const QString &Text) {
    Boxes << Text;
    if (Boxes.size() > 1)
      return;
    W->SetDataFolder(W.Data.path());
    Receive(*W, "a/b", "2");
    Receive(*W, "c", "3");
    // Processed and saved while the box is open; then the folder appears and
    // the waiting line is written without anyone pressing a button.
    SeenWhileOpen = WaitFor([&] { return Drained(*W) && DataLines(W.Data.filePath("c.csv")).size() == 1; });
    ASSERT_TRUE(QFile::remove(W.Data.filePath("blocked")));
    W->SetDataFolder(Folder);
    Receive(*W, "a/b", "4");
    WaitFor([&] { return DataLines(Folder + "/a-b.csv").size() == 2; });
  };
  struct TUnhook {
    ~TUnhook() { ErrorBoxHook = nullptr; }
  } Unhook;
  W->SetDataFolder(Folder);
  W->chkSave->setChecked(true);
  Receive(*W, "a/b", "1");
  ASSERT_TRUE(WaitFor([&] { return !Boxes.isEmpty(); }));
  EXPECT_TRUE(SeenWhileOpen) << "the other topic was saved while the box waited";
  ASSERT_EQ(Boxes.size(), 1);
  EXPECT_EQ(Boxes[0], "Cannot open the data file \"" + Folder + "/a-b.csv\": Not a directory");
  const QStringList Data = DataLines(Folder + "/a-b.csv");
  ASSERT_EQ(Data.size(), 2);
  EXPECT_TRUE(Data[0].endsWith(";1")) << "the failed line first";
  EXPECT_TRUE(Data[1].endsWith(";4"));
  // "a/b=2" went to the other folder while that was the data folder.
  EXPECT_EQ(DataLines(W.Data.filePath("a-b.csv")).size(), 1);
  // The failure is in the log too, before the value it held back.
  EXPECT_EQ(LogTexts(*W), QStringList({Boxes[0], "a/b=1", "a/b=2", "c=3", "a/b=4"}));
  EXPECT_TRUE(Drained(*W));
}

// A reason that stays the same opens one box, not one per line or attempt.
TEST(Topics, OneErrorBoxPerReason)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  W->SetDataFolder(BlockedFolder(W));
  W->chkSave->setChecked(true);
  Receive(*W, "a", "1");
  ASSERT_TRUE(WaitFor([&] { return !Boxes.Texts.isEmpty(); }));
  Receive(*W, "a", "2");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  RunLoop(2500); // past a retry
  EXPECT_EQ(ShownTopics(*W), QStringList("a=2"));
  EXPECT_EQ(Boxes.Texts.size(), 1);
}

// Every topic that cannot be saved says so in the log, with its path and the
// system's reason; once the folder can be made, every value is written.
TEST(Topics, EachUnwritableTopicIsLoggedAndNoValueLost)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  const QString Folder = BlockedFolder(W);
  W->SetDataFolder(Folder);
  W->chkSave->setChecked(true);
  for (int Value = 0; Value < 2; ++Value)
    for (int T = 0; T < 20; ++T)
      Receive(*W, "new/" + std::to_string(T), std::to_string(Value));
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  QStringList Problems = LogTexts(*W).filter("Cannot ");
  EXPECT_EQ(Problems.size(), 20) << Problems.join('\n').toStdString();
  for (int T = 0; T < 20; ++T)
    EXPECT_EQ(Problems.count(QStringLiteral("Cannot open the data file \"%1/new-%2.csv\": Not a directory").arg(Folder).arg(T)), 1)
        << T;
  EXPECT_EQ(Boxes.Texts.size(), 1) << "one box at a time";
  ASSERT_TRUE(QFile::remove(W.Data.filePath("blocked")));
  for (int T = 0; T < 20; ++T) {
    const QString File = QStringLiteral("%1/new-%2.csv").arg(Folder).arg(T);
    ASSERT_TRUE(WaitFor([&] { return DataLines(File).size() == 2; }, 5000)) << T;
    EXPECT_TRUE(DataLines(File)[0].endsWith(";0"));
    EXPECT_TRUE(DataLines(File)[1].endsWith(";1"));
  }
  EXPECT_EQ(LogTexts(*W).filter("lost").size(), 0);
}

// A topic whose file refuses its values keeps 10,000 of them waiting; the
// rest are counted and the count is logged once the file takes values again.
TEST(Topics, ValuesBeyondTheWaitingBoundAreCountedInOneLogLine)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  const QString Folder = BlockedFolder(W);
  W->SetDataFolder(Folder);
  W->chkSave->setChecked(true);
  for (int Value = 0; Value < 10005; ++Value)
    Receive(*W, "flood", std::to_string(Value));
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  ASSERT_TRUE(QFile::remove(W.Data.filePath("blocked")));
  const QString File = Folder + "/flood.csv";
  ASSERT_TRUE(WaitFor([&] { return LogTexts(*W).filter("lost").size() > 0; }, 5000));
  const QStringList Data = DataLines(File);
  ASSERT_EQ(Data.size(), 10000);
  EXPECT_TRUE(Data.first().endsWith(";0"));
  EXPECT_TRUE(Data.last().endsWith(";9999")) << "the oldest values are kept, in order";
  EXPECT_EQ(LogTexts(*W).filter("lost"),
            QStringList("Data file \"" + File + "\" of topic flood: 5 value(s) lost while more than 10000 waited"));
  Receive(*W, "flood", "after");
  ASSERT_TRUE(WaitFor([&] { return DataLines(File).size() == 10001; }));
  EXPECT_EQ(LogTexts(*W).filter("lost").size(), 1);
}

// Two topics never share a file, a topic too long for a file name is saved
// all the same, and after a restart every topic finds its own file again,
// whichever arrives first.
TEST(Topics, CollidingAndOverlongTopicsKeepTheirOwnFilesAcrossRestarts)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  const std::string Long = "long/" + std::string(300, 'x');
  const std::vector<std::pair<std::string, std::string>> First = {
      {"coll/a", "1"}, {"coll-a", "2"}, {Long, "3"}, {"plain/x", "4"}};
  const std::vector<std::pair<std::string, std::string>> Then = {{"coll-a", "5"}, {Long, "6"}, {"coll/a", "7"}};
  for (const auto &Messages : {First, Then}) {
    W.Window.reset(); // a new start over the same folder
    W.Window = std::make_unique<TfrmMain>();
    frmMain = W.Window.get();
    W->SetDataFolder(W.Data.path());
    W->chkSave->setChecked(true);
    for (const auto &[Topic, Payload] : Messages)
      Receive(*W, Topic, Payload);
    ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  }
  W.Window.reset(); // the index is complete once the window is gone
  const auto Values = [&](const std::string &Topic) {
    QStringList Texts;
    for (const QString &Line : DataLines(DataFileName(W.Data.path(), QString::fromStdString(Topic))))
      Texts << Line.section(';', 1);
    return Texts;
  };
  EXPECT_EQ(Values("coll/a"), QStringList({"1", "7"}));
  EXPECT_EQ(Values("coll-a"), QStringList({"2", "5"}));
  EXPECT_EQ(Values(Long), QStringList({"3", "6"}));
  EXPECT_EQ(Values("plain/x"), QStringList("4"));
  QStringList Files = QDir(W.Data.path()).entryList({"*.csv"}, QDir::Files, QDir::Name);
  ASSERT_EQ(Files.size(), 4);
  EXPECT_TRUE(Files.contains("coll-a.csv")) << "the first owner keeps the plain name";
  EXPECT_TRUE(Files.contains("plain-x.csv"));
  for (const QString &File : Files)
    EXPECT_LE(QFile::encodeName(File).size(), 255);
  QFile Index(W.Data.filePath(DataIndexFile));
  ASSERT_TRUE(Index.open(QIODevice::ReadOnly));
  const QJsonObject Indexed = QJsonDocument::fromJson(Index.readAll()).object().value("files").toObject();
  EXPECT_EQ(Indexed.size(), 4);
  for (const QString &File : Files)
    EXPECT_EQ(DataFileName(W.Data.path(), Indexed.value(File).toString()), W.Data.filePath(File));
  EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join('\n').toStdString();
}

// The data file's error box leaves the window usable, shows one reason at a
// time (the latest follows when it is closed) and fits the screen however
// long the path.
TEST(Topics, DataFileErrorBoxIsModelessOneAtATimeAndFitsTheScreen)
{
  TTestWindow W;
  W->show();
  const QString Folder = BlockedFolder(W) + "/" + QString(250, u'p') + "/" + QString(250, u'q');
  W->SetDataFolder(Folder);
  W->chkSave->setChecked(true);
  const auto Boxes = [] {
    QList<QMessageBox *> Shown;
    for (QWidget *Top : QApplication::topLevelWidgets())
      if (auto *Box = qobject_cast<QMessageBox *>(Top); Box && Box->isVisible())
        Shown << Box;
    return Shown;
  };
  Receive(*W, "a", "1");
  ASSERT_TRUE(WaitFor([&] { return Boxes().size() == 1; }));
  QMessageBox *Box = Boxes().first();
  EXPECT_FALSE(Box->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(Box->text().startsWith("Cannot open the data file \"" + W.Data.filePath("blocked/")));
  EXPECT_TRUE(Box->text().endsWith("/a.csv\": Not a directory")) << Box->text().toStdString();
  EXPECT_TRUE(Box->text().contains(QChar(0x2026))) << "the path is elided in the middle";
  EXPECT_LE(Box->sizeHint().width(), W->screen()->availableGeometry().width());

  // Still processed and saved meanwhile; a new reason waits for this box.
  Receive(*W, "b", "2");
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }));
  EXPECT_EQ(LogTexts(*W).filter("Cannot open").size(), 2);
  RunLoop(100);
  ASSERT_EQ(Boxes().size(), 1);
  EXPECT_TRUE(Boxes().first()->text().endsWith("/a.csv\": Not a directory"));
  Box->button(QMessageBox::Ok)->click();
  ASSERT_TRUE(WaitFor([&] { return Boxes().size() == 1 && Boxes().first()->text().contains("/b.csv\""); }));
  Boxes().first()->button(QMessageBox::Ok)->click();
  RunLoop(100);
  EXPECT_TRUE(Boxes().isEmpty()) << "no box for a reason already shown";
}

// While offline Publish and Unsubscribe say so, and nothing waits to be sent
// at the next connection.
TEST(Topics, PublishAndUnsubscribeWhileOfflineSaySo)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  W->show();
  W->UpdateTopic("t", QString("[subscribed]"));
  W->lbxTopic->setCurrentIndex(W->lbxTopic->model()->index(0, 0));
  W->edtMessage->setText("on");
  W->rdgQosPub->SetItemIndex(1);
  QTest::mouseClick(W->btnPub, Qt::LeftButton);
  EXPECT_EQ(LogTexts(*W), QStringList("Not published: offline"));
  EXPECT_EQ(W->mqt->InFlight->Count(), 0) << "nothing kept to send later";
  ASSERT_TRUE(W->btnUnsub->isEnabled());
  QTest::mouseClick(W->btnUnsub, Qt::LeftButton);
  EXPECT_EQ(LogTexts(*W), QStringList({"Not published: offline", "Not unsubscribed: offline"}));
  EXPECT_EQ(W->mqt->InFlight->Count(), 0);
  EXPECT_TRUE(Boxes.Texts.isEmpty());
}

TEST(Topics, TopicWithANulCannotNameAFile)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  W->chkSave->setChecked(true);
  Receive(*W, std::string("a\0b", 3), "1");
  ASSERT_TRUE(WaitFor([&] { return !Boxes.Texts.isEmpty(); }));
  EXPECT_EQ(QDir(W.Data.path()).entryList(QDir::Files), QStringList());
  W->chkSave->setChecked(false);
  ASSERT_TRUE(WaitFor([&] { return Drained(*W); }, 20000));
}

TEST(Topics, ConnectEmptiesTheTopicListButNotThePendingOnes)
{
  TErrorBoxes Boxes;
  TTestWindow W;
  W->UpdateTopic("a", QString("1"));
  W->PendingList().SetValue("p", "2");
  W->edtBroker->setText("127.0.0.1");
  W->edtPort->setText("1");
  W->btnConnClick(W->btnConn);
  EXPECT_EQ(ShownTopics(*W), QStringList());
  EXPECT_EQ(W->PendingList().Count(), 1);
  W->mqt->Activate(false);
  EXPECT_TRUE(Boxes.Texts.isEmpty());
}

// A message of a megabyte, or a topic of 60,000 characters, is shown as a
// bounded prefix with its whole length, in the log and in the list, while its
// data file gets the whole value byte for byte.
TEST(Topics, LargeTopicsAndValuesAreShownShortAndSavedWhole)
{
  struct TCase {
    const char *Name;
    std::string Topic;
    std::string Payload;
    const char *File; // the data file, or none when the topic cannot name one
  };
  const std::string Megabyte(1 << 20, 'x');
  const TCase Cases[] = {
      {"1 MB payload", "big/value", Megabyte, "big-value.csv"},
      {"60,000-character topic", "t/" + std::string(59998, 'y'), "small", nullptr},
  };
  for (const TCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    TErrorBoxes Boxes;
    TTestWindow W;
    W->chkSave->setChecked(C.File != nullptr);
    Receive(*W, C.Topic, C.Payload);
    ASSERT_TRUE(WaitFor([&] { return Drained(*W); }, 60000));
    const QString Topic = QString::fromStdString(C.Topic), Payload = QString::fromStdString(C.Payload);
    const QString Shown = ShownText(Topic) + "=" + ShownText(Payload);
    EXPECT_LT(Shown.size(), 2 * ShownChars + 100);
    EXPECT_EQ(LogTexts(*W), QStringList(Shown));
    EXPECT_EQ(ShownTopics(*W), QStringList(Shown));
    EXPECT_EQ(W->TopicList().TopicList().Line(0), Topic + "=" + Payload) << "the list keeps the whole line";
    if (C.File) {
      ASSERT_TRUE(WaitFor([&] { return FileBytes(W.Data.filePath(C.File)).endsWith("\r\n"); }, 60000));
      const QByteArray Bytes = FileBytes(W.Data.filePath(C.File));
      EXPECT_EQ(Bytes.mid(Bytes.indexOf(';') + 1), QByteArray::fromStdString(C.Payload + "\r\n"));
    }
    EXPECT_TRUE(Boxes.Texts.isEmpty()) << Boxes.Texts.join(" | ").toStdString();
  }
}
