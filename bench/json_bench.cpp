// Parsing and writing a photo list answer of about 10 MB.
#include <benchmark/benchmark.h>

#include "bench/JsonBenchDocument.h"
#include "transport/Json.h"

namespace velmora {
namespace {

const std::string& Document() {
  static const std::string document = bench::PhotoListDocument();
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
BENCHMARK(BM_ParsePhotoList)->Unit(benchmark::kMillisecond)->MinTime(2.0);

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
BENCHMARK(BM_WritePhotoList)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
