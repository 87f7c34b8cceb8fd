// Writing and reading a queued pair: a message to 1,000 recipients loaded as a delivery worker
// loads it, and one small message queued as a producer queues it (synced, so this is disk-bound).
#include <benchmark/benchmark.h>

#include "mailer/SMTPCust.h"
#include "testing/TempDir.h"

namespace {

mailer::TCustomMailer Message(int recipients) {
  mailer::TCustomMailer m;
  m.RemoteHost = "relay.example";
  m.FromAddress = "shop@example.com";
  m.Subject = "Your order";
  for (int i = 0; i < recipients; ++i) {
    const std::string address = "customer" + std::to_string(i) + "@example.org";
    m.ToList.AddAddress(address, "Customer " + std::to_string(i));
  }
  m.BodyLines.Add("Thank you for your order.");
  return m;
}

void BM_LoadThousandRecipients(benchmark::State& state) {
  testing_support::TempDir queue;
  mailer::TCustomMailer out = Message(1000);
  if (!out.SaveToQueue(queue.Path())) state.SkipWithError(out.LastResp.c_str());
  for (auto _ : state) {
    mailer::TCustomMailer in;
    in.QueueFile = out.QueueFile;
    in.LoadFromQueue();
    benchmark::DoNotOptimize(in.ToList.Count());
  }
}
BENCHMARK(BM_LoadThousandRecipients)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SaveToQueue(benchmark::State& state) {
  testing_support::TempDir queue;
  mailer::TCustomMailer out = Message(1);
  for (auto _ : state) {
    if (!out.SaveToQueue(queue.Path())) state.SkipWithError(out.LastResp.c_str());
  }
}
BENCHMARK(BM_SaveToQueue)->Unit(benchmark::kMillisecond);

}  // namespace
