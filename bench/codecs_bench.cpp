// Throughput of the content transfer codecs over 10 MB, as the composer drives them.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

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

// A line codec over the 10 MB in the line size the composer feeds it.
template <std::string (*EncodeLine)(std::string_view), size_t kLine>
void BM_LineCodec10MB(benchmark::State& state) {
  const std::string& bytes = Binary();
  for (auto _ : state) {
    size_t total = 0;
    for (size_t i = 0; i < bytes.size(); i += kLine) {
      total += EncodeLine(std::string_view(bytes).substr(i, kLine)).size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_LineCodec10MB<maillib::Base64EncodeLine, 57>)
    ->Name("BM_Base64Encode10MB")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineCodec10MB<maillib::UUEncodeLine, 45>)
    ->Name("BM_UUEncode10MB")
    ->Unit(benchmark::kMillisecond);

// The parser's way: the lines of a 10 MB attachment fed to the stream decoder one at a time.
void BM_Base64Decode10MB(benchmark::State& state) {
  std::vector<std::string> lines;
  const std::string_view bytes = Binary();
  for (size_t i = 0; i < bytes.size(); i += 57) {
    lines.push_back(maillib::Base64EncodeLine(bytes.substr(i, 57)));
  }
  // The parser knows how much of the message is left, and so what the part can hold at most.
  size_t characters = 0;
  for (const std::string& line : lines) characters += line.size() + 2;
  for (auto _ : state) {
    maillib::TBase64Decoder decoder;
    decoder.Reserve(characters);
    for (const std::string& line : lines) decoder.Feed(line);
    benchmark::DoNotOptimize(decoder.TakeBytes().size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Base64Decode10MB)->Unit(benchmark::kMillisecond);

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

// The composer's way: each line written out as it is made, none kept.
void BM_QuotedPrintableEncodeToSink10MB(benchmark::State& state) {
  rtl::TMemoryStream stream;
  stream.WriteString(Text());
  std::string written;
  for (auto _ : state) {
    written.clear();
    maillib::TQuotedPrintable codec(&stream, [&written](std::string line) {
      written += line;
      written += "\r\n";
    });
    codec.Encode();
    benchmark::DoNotOptimize(written.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Text().size()));
}
BENCHMARK(BM_QuotedPrintableEncodeToSink10MB)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableDecode10MB(benchmark::State& state) {
  rtl::TMemoryStream source;
  source.WriteString(Text());
  rtl::TStringList lines;
  maillib::TQuotedPrintable(&source, &lines).Encode();
  for (auto _ : state) {
    rtl::TMemoryStream decoded;
    maillib::TQuotedPrintable(&decoded, &lines).Decode();
    benchmark::DoNotOptimize(decoded.Size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Text().size()));
}
BENCHMARK(BM_QuotedPrintableDecode10MB)->Unit(benchmark::kMillisecond);

}  // namespace
