// Micro-benchmarks of the pieces every request passes through: envelope decoding and encoding,
// parameter decoding, line counting, the quoted form of a name and lossy UTF-8 decoding.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "agent/params.h"
#include "common/text.h"
#include "agent/frame_reader.h"
#include "common/codec.h"
#include "linecount/count_lines.h"

namespace {

using nlohmann::json;

void BM_DecodeEnvelope_Stat(benchmark::State& state) {
    const std::string payload =
        R"({"id":12345,"method":"fs.stat","data":{"path":"/usr/include/stdio.h"}})";
    for (auto _ : state) benchmark::DoNotOptimize(vesk::decode_envelope(payload));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_DecodeEnvelope_Stat);

void BM_DecodeEnvelope_CountLines(benchmark::State& state) {
    json paths = json::array();
    for (int i = 0; i < state.range(0); ++i)
        paths.push_back("/usr/include/some/dir/file" + std::to_string(i) + ".h");
    const std::string payload =
        json{{"id", 1}, {"method", "fs.countlines"}, {"data", {{"paths", paths}}}}.dump();
    for (auto _ : state) benchmark::DoNotOptimize(vesk::decode_envelope(payload));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_DecodeEnvelope_CountLines)->Arg(8000);

vesk::Header stat_reply() {
    vesk::Header h;
    h.id = 12345;
    h.data = json{{"exists", true}, {"is_dir", false}, {"len", 37210}};
    return h;
}

void BM_EncodeEnvelope_StatReply(benchmark::State& state) {
    const vesk::Header h = stat_reply();
    for (auto _ : state) benchmark::DoNotOptimize(vesk::encode_envelope(h));
}
BENCHMARK(BM_EncodeEnvelope_StatReply);

void BM_EncodeMessage_StatReply(benchmark::State& state) {
    const vesk::Header h = stat_reply();
    for (auto _ : state) benchmark::DoNotOptimize(vesk::encode_message(h, {}));
}
BENCHMARK(BM_EncodeMessage_StatReply);

void BM_EncodeMessage_Error(benchmark::State& state) {
    vesk::Header h;
    h.id = 3;
    h.error = "unknown method \"frob\"";
    for (auto _ : state) benchmark::DoNotOptimize(vesk::encode_message(h, {}));
}
BENCHMARK(BM_EncodeMessage_Error);

// An exec reply whose standard error is range(0) bytes of compiler-like text with a tab and a
// quotation mark now and then, so the escaper sees both plain runs and escapes.
void BM_EncodeEnvelope_ExecStderr(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::string text;
    const std::string line = "src/main.c:12:5: warning: unused variable \"x\"\t[-Wunused]\n";
    while (text.size() < n) text += line;
    text.resize(n);
    vesk::Header h;
    h.id = 9;
    h.data = json{{"code", 1}, {"stderr", std::move(text)}};
    for (auto _ : state) benchmark::DoNotOptimize(vesk::encode_envelope(h));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncodeEnvelope_ExecStderr)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

void BM_DecodePathParams(benchmark::State& state) {
    const json data = {{"path", "~/src/project/README.md"}, {"recursive", false}};
    for (auto _ : state) benchmark::DoNotOptimize(vesk::decode_path_params(data));
}
BENCHMARK(BM_DecodePathParams);

void BM_DecodeCountParams(benchmark::State& state) {
    json paths = json::array();
    for (int i = 0; i < state.range(0); ++i)
        paths.push_back("/usr/include/file" + std::to_string(i) + ".h");
    const json data = {{"paths", paths}};
    for (auto _ : state) benchmark::DoNotOptimize(vesk::decode_count_params(data));
}
BENCHMARK(BM_DecodeCountParams)->Arg(1)->Arg(8000);

void BM_DecodeExecParams(benchmark::State& state) {
    const json data = {{"cwd", "~"}, {"program", "/bin/true"}, {"args", {"-a", "--bee", "c d"}}};
    for (auto _ : state) benchmark::DoNotOptimize(vesk::decode_exec_params(data));
}
BENCHMARK(BM_DecodeExecParams);

void BM_DecodeGitParams(benchmark::State& state) {
    const json data = {{"cwd", "~/src/project"},
                       {"args", {"status", "--porcelain=v2", "-z"}},
                       {"env", {{"GIT_DIR", ".git"}, {"LC_ALL", "C"}}}};
    for (auto _ : state) benchmark::DoNotOptimize(vesk::decode_git_params(data));
}
BENCHMARK(BM_DecodeGitParams);

// A text file of range(0) bytes in the page cache, counted through the whole status, open,
// read, probe and count path.
void BM_CountLines(benchmark::State& state) {
    char path[] = "/tmp/vesk-micro-count-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("mkstemp failed");
        return;
    }
    close(fd);
    const auto n = static_cast<std::size_t>(state.range(0));
    std::string content;
    while (content.size() < n) content += "    int value = compute(argument, 42); // a line\n";
    content.resize(n);
    std::ofstream(path, std::ios::binary) << content;
    const std::string p = path;
    for (auto _ : state) benchmark::DoNotOptimize(vesk::count_lines(p));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    std::remove(path);
}
BENCHMARK(BM_CountLines)->Arg(4 << 10)->Arg(1000000);

void BM_CountLinesIn(benchmark::State& state) {
    std::string content;
    while (content.size() < 1000000)
        content += "    int value = compute(argument, 42); // a line\n";
    for (auto _ : state) benchmark::DoNotOptimize(vesk::count_lines_in(content));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_CountLinesIn);

void BM_DebugQuote(benchmark::State& state) {
    const std::string name = state.range(0) ? "fs.r\xC3\xA9\xCC\x81"
                                              "ad\n\x1b[0m\xE2\x80\x8B"
                                            : "fs.mkdir";
    for (auto _ : state) benchmark::DoNotOptimize(vesk::debug_quote(name));
}
BENCHMARK(BM_DebugQuote)->Arg(0)->Arg(1);

// Mostly ASCII with a sprinkle of valid multi-byte characters and an invalid byte per line.
void BM_Utf8Lossy(benchmark::State& state) {
    std::string text;
    const std::string line =
        "warning: caf\xC3\xA9 \xE2\x82\xAC 12 \xF0\x9F\x98\x80 bad \xFF here\n";
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += line;
    for (auto _ : state) benchmark::DoNotOptimize(vesk::utf8_lossy(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8Lossy)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
