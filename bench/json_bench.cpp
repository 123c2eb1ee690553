// Parsing and writing a photo list answer of about 10 MB.
//
// The document is the file named by VELMORA_JSON_DOCUMENT when that is set
// (bench/json.sh hands over the very bytes it gives Python's json module),
// else the same document made in memory. Each parse includes releasing the
// tree it built. The heap keeps released memory (KeepReleasedMemory) unless
// VELMORA_JSON_DEFAULT_HEAP is set; bench/json.sh measures both ways and
// gives Python the same heap setting each time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "bench/JsonBenchDocument.h"
#include "bench/Memory.h"
#include "transport/Json.h"

namespace velmora {
namespace {

constexpr size_t kKeptMemory = size_t{64} << 20;

const std::string& Document() {
  static const std::string document = [] {
    const char* const path = std::getenv("VELMORA_JSON_DOCUMENT");
    if (path == nullptr || *path == '\0') return bench::PhotoListDocument();
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) text.clear();
    if (text.empty()) {
      std::fprintf(stderr, "bench_json: cannot read %s\n", path);
      std::exit(1);
    }
    return text;
  }();
  return document;
}

void BM_ParsePhotoList(benchmark::State& state) {
  const std::string& text = Document();
  for (auto _ : state) {
    std::unique_ptr<TJSONValue> value = ParseJSONValue(text);
    if (!value) {
      state.SkipWithError("the document did not parse");
      break;
    }
    benchmark::DoNotOptimize(value.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParsePhotoList)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_WritePhotoList(benchmark::State& state) {
  const std::unique_ptr<TJSONValue> value = ParseJSONValue(Document());
  if (!value) {
    state.SkipWithError("the document did not parse");
    return;
  }
  size_t size = 0;
  for (auto _ : state) {
    std::string text = value->ToString();
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_WritePhotoList)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  if (std::getenv("VELMORA_JSON_DEFAULT_HEAP") == nullptr) velmora::KeepReleasedMemory(velmora::kKeptMemory);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
