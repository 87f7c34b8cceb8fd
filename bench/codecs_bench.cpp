// Throughput of the content transfer codecs over 10 MB, as the composer drives them.
#include <benchmark/benchmark.h>

#include <random>

#include "maillib/QuotedPrintable.h"
#include "maillib/codecs.h"

namespace {

constexpr size_t kSize = 10 * 1024 * 1024;

const std::string& Binary() {
  static const std::string bytes = [] {
    std::mt19937 random(3);
    std::string out(kSize, '\0');
    for (char& c : out) c = static_cast<char>(random() & 0xFF);
    return out;
  }();
  return bytes;
}

// Mail-like text: words, some accented bytes, lines of 40 to 100 characters ending in CR LF.
const std::string& Text() {
  static const std::string text = [] {
    std::mt19937 random(5);
    std::string out;
    while (out.size() < kSize) {
      size_t length = 40 + random() % 61;
      for (size_t i = 0; i < length; ++i) {
        unsigned r = random() % 100;
        out += r < 15 ? ' ' : r < 17 ? '\xE9' : static_cast<char>('a' + r % 26);
      }
      out += "\r\n";
    }
    return out;
  }();
  return text;
}

void BM_Base64Encode10MB(benchmark::State& state) {
  const std::string& bytes = Binary();
  for (auto _ : state) {
    size_t total = 0;
    for (size_t i = 0; i < bytes.size(); i += 57) {
      total += maillib::Base64EncodeLine(std::string_view(bytes).substr(i, 57)).size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Base64Encode10MB)->Unit(benchmark::kMillisecond);

void BM_UUEncode10MB(benchmark::State& state) {
  const std::string& bytes = Binary();
  for (auto _ : state) {
    size_t total = 0;
    for (size_t i = 0; i < bytes.size(); i += 45) {
      total += maillib::UUEncodeLine(std::string_view(bytes).substr(i, 45)).size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_UUEncode10MB)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableEncode10MB(benchmark::State& state) {
  rtl::TMemoryStream stream;
  stream.WriteString(Text());
  for (auto _ : state) {
    rtl::TStringList lines;
    maillib::TQuotedPrintable(&stream, &lines).Encode();
    benchmark::DoNotOptimize(lines.Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Text().size()));
}
BENCHMARK(BM_QuotedPrintableEncode10MB)->Unit(benchmark::kMillisecond);

}  // namespace
