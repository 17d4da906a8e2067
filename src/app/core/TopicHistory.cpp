#include "TopicHistory.h"

#include <QFile>
#include <QThread>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>

#include "DataRecordReader.h"

TTopicHistory::TTopicHistory(const QString &aPath, std::unique_ptr<TCodePage> aCodePage, QObject *aParent)
    : QObject(aParent), FPath(aPath), FCodePage(std::move(aCodePage))
{
}

TTopicHistory::~TTopicHistory()
{
  FStop = true;
  if (FThread) {
    FThread->wait();
    delete FThread;
  }
}

void TTopicHistory::Start()
{
  FThread = QThread::create([this] { Read(); });
  FThread->start();
}

void TTopicHistory::Post(std::shared_ptr<THistoryChunk> aChunk)
{
  QMetaObject::invokeMethod(
      this, [this, aChunk] { if (OnChunk) OnChunk(std::move(*aChunk)); }, Qt::QueuedConnection);
}

void TTopicHistory::Read()
{
  // Behind the user-interface thread for a core: on a busy machine reading
  // a long history must not lengthen the event loop's passes. (Qt's thread
  // priorities do nothing under Linux's normal scheduling; a thread's nice
  // value does.)
  ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), 10);
  QString Problem;
  QFile File(FPath);
  if (!File.open(QIODevice::ReadOnly)) {
    Problem = QStringLiteral("Could not read %1: %2").arg(FPath, File.errorString());
  } else if (const qint64 Size = File.size(); Size > 0) {
    // The size now: lines written from here on come live.
    const uchar *Bytes = File.map(0, Size);
    if (!Bytes) {
      Problem = QStringLiteral("Could not read %1: %2").arg(FPath, File.errorString());
    } else {
      TDataRecordReader Reader(std::string_view(reinterpret_cast<const char *>(Bytes), std::size_t(Size)));
      TDataRecord Record;
      auto Chunk = std::make_shared<THistoryChunk>();
      std::size_t Records = 0;
      std::size_t Total = 0;
      auto Flush = [&] {
        Total += Records;
        Chunk->ExpectedRecords = std::size_t(double(Total) * double(Size) / double(std::max<std::size_t>(1, Reader.Position())));
        if (Chunk->Values.size() > TTopicValues::RecentCount)
          Chunk->Values.erase(Chunk->Values.begin(),
                              Chunk->Values.end() - std::ptrdiff_t(TTopicValues::RecentCount));
        Post(std::move(Chunk));
        Chunk = std::make_shared<THistoryChunk>();
        Records = 0;
      };
      while (!FStop && Reader.Next(Record)) {
        const QString Text = FCodePage->ToUnicode(Record.Value);
        for (auto &[Name, Number] : NumericFields(Text)) {
          auto Series = std::find_if(Chunk->Series.begin(), Chunk->Series.end(),
                                     [&](const auto &aSeries) { return aSeries.first == Name; });
          if (Series == Chunk->Series.end())
            Series = Chunk->Series.insert(Series, {Name, {}});
          Series->second.push_back({Record.MsecsSinceEpoch, Number});
        }
        Chunk->Values.push_back({Record.MsecsSinceEpoch, Text});
        if (++Records == ChunkRecords)
          Flush();
      }
      if (Records > 0)
        Flush();
      if (Reader.Skipped() > 0 && !FStop)
        Problem = QStringLiteral("%1 lines of %2 are no data records and were left out")
                      .arg(Reader.Skipped())
                      .arg(FPath);
    }
  }
  QMetaObject::invokeMethod(
      this, [this, Problem] { if (OnDone) OnDone(Problem); }, Qt::QueuedConnection);
}
