// The topic list kept sorted one row at a time (TTopicListModel) against the
// plain way of setting the value and sorting the whole list for every
// message, side by side on the same messages: distinct topics in random order
// arriving on a list that already holds state.range(0) topics.

#include <QLocale>
#include <benchmark/benchmark.h>
#include <memory>
#include <random>

#include "TopicListModel.h"

namespace {

constexpr int kMessages = 200;

QStringList Topics(int aCount, unsigned aSeed) {
  std::mt19937 random(aSeed);
  QStringList topics;
  for (int i = 0; i < aCount; ++i)
    topics << QStringLiteral("site/%1/sensor%2").arg(random() % 1000).arg(i);
  return topics;
}

void IncrementalModel(benchmark::State &state) {
  const QStringList initial = Topics(int(state.range(0)), 1);
  const QStringList arriving = Topics(kMessages, 2);
  std::unique_ptr<TTopicListModel> model;
  for (auto _ : state) {
    state.PauseTiming();
    model = std::make_unique<TTopicListModel>(); // the old one goes outside the timing
    for (const QString &topic : initial)
      model->UpdateTopic(topic, QStringLiteral("1"), -1);
    state.ResumeTiming();
    for (const QString &topic : arriving)
      model->UpdateTopic(topic + "x", QStringLiteral("2"), 0);
    benchmark::DoNotOptimize(model->rowCount());
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}

void SetValueAndFullSort(benchmark::State &state) {
  const QStringList initial = Topics(int(state.range(0)), 1);
  const QStringList arriving = Topics(kMessages, 2);
  std::unique_ptr<TLineList> list;
  for (auto _ : state) {
    state.PauseTiming();
    list = std::make_unique<TLineList>();
    for (const QString &topic : initial)
      list->SetValue(topic, QStringLiteral("1"));
    list->Sort();
    state.ResumeTiming();
    for (const QString &topic : arriving) {
      list->SetValue(topic + "x", QStringLiteral("2"));
      list->Sort();
    }
    benchmark::DoNotOptimize(list->Count());
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}

} // namespace

// Few iterations: each one first fills a list of state.range(0) topics, untimed.
BENCHMARK(IncrementalModel)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);
// A full sort per message takes minutes at 100,000 topics.
BENCHMARK(SetValueAndFullSort)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_MAIN();
