// JSON reader throughput, measured beside RapidJSON's DOM parse of the same bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "json/json.h"
#include "project_text.h"

#ifdef KELVRA_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif

namespace {

// About 52 MB: the full project plus 200 embedded media entries of 256 KiB.
const std::string& large_text() {
  static const std::string text = kelvra_bench::project_text(200, 256 * 1024);
  return text;
}

// About 8 MB of notes, close to the reader's token limit.
const std::string& dense_text() {
  static const std::string text = kelvra_bench::dense_text();
  return text;
}

void parse_kelvra(benchmark::State& state, const std::string& text) {
  uint64_t tokens = 0;
  for (auto _ : state) {
    JsonDocument document{};
    if (!data_json_parse(&document, text.c_str())) state.SkipWithError("parse failed");
    tokens = document.count;
    data_json_free(&document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["tokens"] = static_cast<double>(tokens);
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}

void BM_Kelvra_Large(benchmark::State& state) { parse_kelvra(state, large_text()); }
void BM_Kelvra_Dense(benchmark::State& state) { parse_kelvra(state, dense_text()); }
BENCHMARK(BM_Kelvra_Large)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Kelvra_Dense)->Unit(benchmark::kMillisecond);

#ifdef KELVRA_HAVE_RAPIDJSON
void parse_rapidjson(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text.c_str());
    if (document.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_RapidJson_Large(benchmark::State& state) { parse_rapidjson(state, large_text()); }
void BM_RapidJson_Dense(benchmark::State& state) { parse_rapidjson(state, dense_text()); }
BENCHMARK(BM_RapidJson_Large)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJson_Dense)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
