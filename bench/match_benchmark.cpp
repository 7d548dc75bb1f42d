// match_pattern and the header recognisers the passes use instead, per call,
// for each header pattern on a header line it recognises, an ordinary body
// line, and the same header line padded to the longest line the indexer
// hands over (8192 bytes).
#include <benchmark/benchmark.h>

#include <string>

#include "logindex/header_rules.h"
#include "logindex/log_format.h"
#include "match/pattern_match.h"
#include "support/log_texts.h"

namespace {

const char* const HEADER_LINES[5] = {
    "#1234/1250 \x83\x65\x83\x58\x83\x67\r\n",          "01234/01240 ABC01234  TITLE\r\n",
    PCVAN_TITLE " (ABC12345)  96/10/01 12:34 (12)\r\n", "( 5)   96/10/01 12:34 ABC\r\n",
    "- FORUM MES(12) TITLE 96/10/01 12:34\r\n",
};

// 70 bytes: Japanese and ASCII, as in a message body.
const char BODY_LINE[] =
    "\x82\xb1\x82\xea\x82\xcd\x96\x7b\x95\xb6\x82\xc5\x82\xb7\x81\x42"
    " The quick brown fox jumps over the lazy dog 0123456\r\n";
static_assert(sizeof BODY_LINE - 1 == 70, "a 70-byte body line");

enum LineKind { HEADER_LINE, BODY, LONG_HEADER_LINE };

std::string line_for(int pattern, int kind) {
    if (kind == BODY) return BODY_LINE;
    std::string line = HEADER_LINES[pattern];
    if (kind == HEADER_LINE) return line;
    line.resize(line.size() - 2);  // pad before the line end
    line.append(8192 - 2 - line.size(), 'x');
    return line + "\r\n";
}

void BM_match_pattern(benchmark::State& state) {
    int pattern = static_cast<int>(state.range(0));
    int kind = static_cast<int>(state.range(1));
    std::string line = line_for(pattern, kind);
    MatchRegisters regs{};
    int result = 0;
    for (auto _ : state) {
        result = match_pattern(&regs, line.c_str(), HEADER_PATTERNS[pattern]);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(regs);
    }
    static const char* const KINDS[3] = {"header", "body70", "header8192"};
    state.SetLabel(std::string(KINDS[kind]) + (result ? " match" : " no match"));
}

BENCHMARK(BM_match_pattern)->ArgsProduct({{0, 1, 2, 3, 4}, {HEADER_LINE, BODY, LONG_HEADER_LINE}});

void BM_line_matches(benchmark::State& state) {
    int pattern = static_cast<int>(state.range(0));
    int kind = static_cast<int>(state.range(1));
    std::string line = line_for(pattern, kind);
    bool result = false;
    for (auto _ : state) {
        result = line_matches(line.c_str(), *HEADER_RECOGNIZERS[pattern]);
        benchmark::DoNotOptimize(result);
    }
    static const char* const KINDS[3] = {"header", "body70", "header8192"};
    state.SetLabel(std::string(KINDS[kind]) + (result ? " match" : " no match"));
}

BENCHMARK(BM_line_matches)->ArgsProduct({{0, 1, 2, 3, 4}, {HEADER_LINE, BODY, LONG_HEADER_LINE}});

}  // namespace
