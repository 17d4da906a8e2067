// Speed of the codec: Parse over streams of PUBLISH packets delivered in
// socket-sized chunks, a plain memcpy of the same chunks as the ceiling, and
// SendPublish. Also counts heap allocations per packet. Ends with one
// "parse/memcpy <size>: <ratio>" line per payload size (the lower ratio of the
// two chunk sizes), and the cost of two user properties on a level-5 PUBLISH
// of 1 KiB as a "level5 props/plain" ratio of time per packet.
#include "AllocationCounter.h"
#include "uMQTT.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr std::size_t StreamBytes = 4 << 20;
const std::int64_t PayloadSizes[] = {16, 1024, 65536};
const std::int64_t ChunkSizes[] = {1460, 65536};

struct TStream {
  std::string Bytes;
  std::size_t Packets = 0;
};

// PUBLISH packets at QoS 1 on a typical topic, back to back, about 4 MiB in all.
const TStream &PublishStream(std::size_t payloadSize) {
  static std::map<std::size_t, TStream> streams;
  TStream &s = streams[payloadSize];
  if (!s.Bytes.empty()) return s;
  TMQTTParser encoder;
  encoder.OnSend = [&](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &b) { s.Bytes.append(b.View()); };
  const std::string payload(payloadSize, 'p');
  while (s.Bytes.size() < StreamBytes) encoder.SendPublish(std::uint16_t(++s.Packets), "sensors/t1", payload,
                                                          qtAT_LEAST_ONCE, false, false);
  return s;
}

void BM_Parse(benchmark::State &state) {
  const TStream &stream = PublishStream(std::size_t(state.range(0)));
  const std::size_t chunk = std::size_t(state.range(1));
  TMQTTParser parser;
  std::size_t received = 0, payloadBytes = 0;
  // A receiver that can take views: nothing is copied for it.
  parser.OnPublishView = [&](TMQTTParser *, std::uint16_t, std::string_view topic, std::string_view message) {
    ++received;
    payloadBytes += topic.size() + message.size();
    benchmark::DoNotOptimize(message.data());
  };
  const std::uint64_t allocationsBefore = Allocations.load();
  for (auto _ : state) {
    const std::string_view all = stream.Bytes;
    for (std::size_t at = 0; at < all.size(); at += chunk) parser.Parse(all.substr(at, chunk));
  }
  if (received != stream.Packets * state.iterations()) state.SkipWithError("packets lost");
  state.SetItemsProcessed(std::int64_t(stream.Packets) * state.iterations());
  state.SetBytesProcessed(std::int64_t(stream.Bytes.size()) * state.iterations());
  state.counters["allocs/packet"] =
      double(Allocations.load() - allocationsBefore) / double(stream.Packets * state.iterations());
  benchmark::DoNotOptimize(payloadBytes);
}

// Level-5 PUBLISH packets of 1 KiB at QoS 1, with no properties or with two user properties.
const TStream &Publish5Stream(std::size_t userProperties) {
  static std::map<std::size_t, TStream> streams;
  TStream &s = streams[userProperties];
  if (!s.Bytes.empty()) return s;
  TMQTTParser encoder;
  encoder.ProtocolLevel = plMQTT5;
  encoder.OnSend = [&](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &b) { s.Bytes.append(b.View()); };
  TMQTTProperties props;
  if (userProperties > 0) props.push_back(UserProperty("trace-id", "4bf92f3577b34da6a3ce929d0e0e4736"));
  if (userProperties > 1) props.push_back(UserProperty("origin", "plant-7/line-2"));
  const std::string payload(1024, 'p');
  while (s.Bytes.size() < StreamBytes)
    encoder.SendPublish(std::uint16_t(++s.Packets), "sensors/t1", payload, qtAT_LEAST_ONCE, false, false, props);
  return s;
}

void BM_Parse5(benchmark::State &state) {
  const TStream &stream = Publish5Stream(std::size_t(state.range(0)));
  const std::size_t chunk = 1460;
  TMQTTParser parser;
  parser.ProtocolLevel = plMQTT5;
  std::size_t received = 0, propertyBytes = 0;
  parser.OnPublishView = [&](TMQTTParser *sender, std::uint16_t, std::string_view, std::string_view message) {
    ++received;
    for (const TMQTTPropertyView &p : sender->RxProperties) propertyBytes += p.Text.size() + p.Value.size();
    benchmark::DoNotOptimize(message.data());
  };
  const std::uint64_t allocationsBefore = Allocations.load();
  for (auto _ : state) {
    const std::string_view all = stream.Bytes;
    for (std::size_t at = 0; at < all.size(); at += chunk) parser.Parse(all.substr(at, chunk));
  }
  if (received != stream.Packets * state.iterations()) state.SkipWithError("packets lost");
  if ((propertyBytes > 0) != (state.range(0) > 0)) state.SkipWithError("properties not delivered");
  state.SetItemsProcessed(std::int64_t(stream.Packets) * state.iterations());
  state.counters["allocs/packet"] =
      double(Allocations.load() - allocationsBefore) / double(stream.Packets * state.iterations());
}

void BM_Memcpy(benchmark::State &state) {
  const TStream &stream = PublishStream(std::size_t(state.range(0)));
  const std::size_t chunk = std::size_t(state.range(1));
  std::vector<char> buffer(chunk);
  for (auto _ : state) {
    const std::string_view all = stream.Bytes;
    for (std::size_t at = 0; at < all.size(); at += chunk) {
      std::size_t n = std::min(chunk, all.size() - at);
      std::memcpy(buffer.data(), all.data() + at, n);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(std::int64_t(stream.Packets) * state.iterations());
  state.SetBytesProcessed(std::int64_t(stream.Bytes.size()) * state.iterations());
}

void BM_SendPublish(benchmark::State &state) {
  TMQTTParser parser;
  std::size_t sent = 0;
  parser.OnSend = [&](TMQTTParser *, std::uint16_t, std::int32_t, TByteStream &s) {
    sent += s.Size();
    benchmark::DoNotOptimize(s.Data());
  };
  const std::string payload(std::size_t(state.range(0)), 'p');
  parser.SendPublish(1, "sensors/t1", payload, qtAT_LEAST_ONCE, false, false); // the buffer grows once
  const std::uint64_t allocationsBefore = Allocations.load();
  std::uint16_t id = 0;
  for (auto _ : state) parser.SendPublish(++id, "sensors/t1", payload, qtAT_LEAST_ONCE, false, false);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(std::int64_t(sent));
  state.counters["allocs/packet"] = double(Allocations.load() - allocationsBefore) / double(state.iterations());
}

void Arguments(benchmark::internal::Benchmark *b) {
  for (std::int64_t payload : PayloadSizes)
    for (std::int64_t chunk : ChunkSizes) b->Args({payload, chunk});
}

BENCHMARK(BM_Parse)->Apply(Arguments)->ArgNames({"payload", "chunk"});
BENCHMARK(BM_Memcpy)->Apply(Arguments)->ArgNames({"payload", "chunk"});
BENCHMARK(BM_SendPublish)->Arg(16)->Arg(1024)->ArgNames({"payload"});
BENCHMARK(BM_Parse5)->Arg(0)->Arg(2)->ArgNames({"user_properties"});

// Passes everything to the console and keeps the byte rates for the ratios:
// the median when repetitions are asked for, else the single run.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
  // Colours only on a terminal, so that piped figures stay plain text.
  TRatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
  std::map<std::string, double> BytesPerSecond;
  std::map<std::string, double> ItemsPerSecond;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (auto items = run.counters.find("items_per_second"); items != run.counters.end()) {
        if (run.run_type == Run::RT_Iteration)
          ItemsPerSecond.emplace(run.run_name.str(), items->second.value);
        else if (run.aggregate_name == "median")
          ItemsPerSecond[run.run_name.str()] = items->second.value;
      }
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      if (run.run_type == Run::RT_Iteration)
        BytesPerSecond.emplace(run.run_name.str(), it->second.value);
      else if (run.aggregate_name == "median")
        BytesPerSecond[run.run_name.str()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (std::int64_t payload : PayloadSizes) {
    double worst = -1;
    for (std::int64_t chunk : ChunkSizes) {
      const std::string args = "/payload:" + std::to_string(payload) + "/chunk:" + std::to_string(chunk);
      auto parse = reporter.BytesPerSecond.find("BM_Parse" + args);
      auto copy = reporter.BytesPerSecond.find("BM_Memcpy" + args);
      if (parse == reporter.BytesPerSecond.end() || copy == reporter.BytesPerSecond.end()) continue;
      double ratio = parse->second / copy->second;
      worst = worst < 0 ? ratio : std::min(worst, ratio);
    }
    if (worst >= 0) std::printf("parse/memcpy %lld: %.3f\n", static_cast<long long>(payload), worst);
  }
  auto plain = reporter.ItemsPerSecond.find("BM_Parse5/user_properties:0");
  auto withProps = reporter.ItemsPerSecond.find("BM_Parse5/user_properties:2");
  if (plain != reporter.ItemsPerSecond.end() && withProps != reporter.ItemsPerSecond.end())
    std::printf("level5 props/plain 1024: %.3f\n", plain->second / withProps->second);
  benchmark::Shutdown();
  return 0;
}
