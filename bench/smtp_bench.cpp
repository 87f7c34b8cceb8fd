// The SMTP client on loopback against the fake server: an already-composed 10 MB message, and
// small messages each on a connection of its own.
#include <benchmark/benchmark.h>

#include "maillib/Message.h"
#include "net/mssmtp.h"
#include "testing/FakeSmtpServer.h"

namespace {

void Fill(maillib::TmsMessage& message) {
  message.Sender.Address = "shop@example.com";
  message.Recipients.AddAddress("ann@example.org", "Ann");
  message.Subject = "Benchmark";
  message.Body.Add("Hello.");
}

void BM_Send10MBComposed(benchmark::State& state) {
  testing_support::FakeSmtpServer server;
  rtl::TMemoryStream text;
  std::string line(998, 'x');
  while (text.Size() < 10 * 1024 * 1024) text.WriteString(line + "\r\n");
  maillib::TmsMessage message;
  Fill(message);
  for (auto _ : state) {
    net::TmsSMTP client;
    client.Server = server.Address();
    client.SetMailMessage(&message);
    client.Open();
    client.Login();
    client.SendEnvelope();
    client.SendData(text);
    client.Logout();
    client.Close();
  }
  state.SetBytesProcessed(state.iterations() * text.Size());
}
BENCHMARK(BM_Send10MBComposed)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Send100SmallMessages(benchmark::State& state) {
  testing_support::FakeSmtpServer server;
  maillib::TmsMessage message;
  Fill(message);
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i) {
      net::TmsSMTP client;
      client.Server = server.Address();
      client.SetMailMessage(&message);
      client.Transmit();
    }
  }
}
BENCHMARK(BM_Send100SmallMessages)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
