#pragma once
// Reads the past values of a topic from its data file in a thread of its
// own and hands them to the user-interface thread in chunks, oldest first,
// through its event loop: the window shows the history as it comes and stays
// responsive however long the file is. Only what the window keeps is handed
// over: the numeric fields of every value and the text of the last values.
//
//   auto History = std::make_unique<TTopicHistory>(Path, TCodePage::ByName(...));
//   History->OnChunk = [&](THistoryChunk &&aChunk) { Values.AddHistory(std::move(aChunk)); };
//   History->OnDone = [&](const QString &aProblem) { ... };
//   History->Start();
// Destroying it stops the reading.

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "CodePage.h"
#include "TopicValues.h"

class QThread;

class TTopicHistory : public QObject {
  Q_OBJECT
public:
  // aCodePage is used by the reading thread alone.
  TTopicHistory(const QString &aPath, std::unique_ptr<TCodePage> aCodePage, QObject *aParent = nullptr);
  ~TTopicHistory() override;

  void Start();
  // Records per chunk.
  std::size_t ChunkRecords = 20000;

  std::function<void(THistoryChunk &&aChunk)> OnChunk;
  // Once, after the last chunk; aProblem is empty when the whole file was read.
  std::function<void(const QString &aProblem)> OnDone;

private:
  void Read();
  void Post(std::shared_ptr<THistoryChunk> aChunk);

  QString FPath;
  std::unique_ptr<TCodePage> FCodePage;
  QThread *FThread = nullptr;
  std::atomic<bool> FStop{false};
};
