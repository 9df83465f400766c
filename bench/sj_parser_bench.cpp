// Throughput of the streaming JSON parser on a large session-mail-data document,
// beside a memchr scan of the same bytes, and proof that parsing allocates nothing
// per string.
#include "maildata/sj_parser.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const int MAIL_COUNT = 10000;
const int CERTIFICATE_COUNT = 200;
const char ABSENT_BYTE = '\x01';

// One domain with MAIL_COUNT mailboxes of four aliases each, written the way PHP's
// json_encode writes it (slashes escaped).
std::string make_document() {
    std::string doc = R"({"domain": {"name": "example.com", "dom_aliases": [)";
    for (int i = 0; i < 20; i++)
        doc += (i ? ", " : "") + ("\"alias" + std::to_string(i) + ".example.net\"");
    doc += R"(], "maillists": ["news", "staff", "all"], "mails": [)";
    for (int i = 0; i < MAIL_COUNT; i++) {
        std::string name = "user" + std::to_string(i);
        doc += i ? ",\n" : "\n";
        doc += R"({"name": ")" + name + R"(", "mbox_quota": )" + std::to_string(100 + i % 900) +
               R"(, "mbox_quota_unit": "MB", "aliases": [")" + name + R"(.a", ")" + name +
               R"(.b", "info-)" + name + R"(", "o'neil+)" + name + R"("]})";
    }
    doc += R"(]}, "certificates": [)";
    for (int i = 0; i < CERTIFICATE_COUNT; i++)
        doc += (i ? ", " : "") + (R"({"name": "mail)" + std::to_string(i) +
                                  R"(.example.com", "certfile": "\/etc\/ssl\/velka\/cert)" +
                                  std::to_string(i) + R"(.pem"})");
    doc += "]}\n";
    return doc;
}

const std::string &document() {
    static const std::string doc = make_document();
    return doc;
}

struct Tally {
    long strings = 0;
    long outside = 0; // strings not pointing into the document buffer
    long allocations = 0;
};

void *counting_allocate(void *data, size_t size) {
    static_cast<Tally *>(data)->allocations++;
    return malloc(size);
}
void *counting_reallocate(void *data, void *ptr, size_t size) {
    static_cast<Tally *>(data)->allocations++;
    return realloc(ptr, size);
}
void releasing(void *, void *ptr) {
    free(ptr);
}

void note_string(Tally &tally, const std::vector<char> &buffer, const char *s) {
    tally.strings++;
    if (s < buffer.data() || s >= buffer.data() + buffer.size())
        tally.outside++;
}

// Reads every token with the typed functions, as a schema-driven reader does.
void walk(sj_parser *p, Tally &tally, const std::vector<char> &buffer) {
    sj_skip_whitespace(p);
    if (sj_peek_is_object(p)) {
        if (sj_parse_object_start(p) != 0 || sj_parse_object_end_if_empty(p))
            return;
        do {
            const char *key = sj_parse_object_key(p);
            if (p->error != 0)
                return;
            note_string(tally, buffer, key);
            walk(p, tally, buffer);
        } while (p->error == 0 && sj_parse_object_next(p) == 0);
    } else if (sj_peek_is_array(p)) {
        if (sj_parse_array_start(p) != 0 || sj_parse_array_end_if_empty(p))
            return;
        do
            walk(p, tally, buffer);
        while (p->error == 0 && sj_parse_array_next(p) == 0);
    } else if (sj_peek_is_string(p)) {
        if (const char *s = sj_parse_string(p))
            note_string(tally, buffer, s);
    } else if (sj_peek_is_number(p)) {
        benchmark::DoNotOptimize(sj_parse_int64(p));
    } else {
        sj_skip_value(p);
    }
}

// Parses the buffer once; false when the parser failed.
bool parse_once(std::vector<char> &buffer, Tally &tally) {
    sj_util_funcs hooks = {&tally, counting_allocate, counting_reallocate, releasing};
    sj_parser *parser = sj_create_parser(buffer.data(), &hooks);
    if (parser == nullptr)
        return false;
    walk(parser, tally, buffer);
    bool ok = parser->error == 0;
    sj_free_parser(parser);
    return ok;
}

void fill(std::vector<char> &buffer) {
    const std::string &doc = document();
    memcpy(buffer.data(), doc.c_str(), doc.size() + 1);
}

void BM_sj_parser_walk(benchmark::State &state) {
    const std::string &doc = document();
    std::vector<char> buffer(doc.size() + 1);

    // One pass outside the timing measures the heap while a parser is alive.
    fill(buffer);
    Tally probe;
    size_t heap_before = mallinfo2().uordblks;
    sj_util_funcs hooks = {&probe, counting_allocate, counting_reallocate, releasing};
    sj_parser *parser = sj_create_parser(buffer.data(), &hooks);
    walk(parser, probe, buffer);
    double heap_growth =
        static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heap_before);
    sj_free_parser(parser);

    Tally tally;
    for (auto _ : state) {
        state.PauseTiming();
        fill(buffer); // strings are decoded over the document, so each pass needs a fresh copy
        state.ResumeTiming();
        if (!parse_once(buffer, tally)) {
            state.SkipWithError("the document failed to parse");
            return;
        }
    }
    double passes = static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
    state.counters["strings_per_doc"] = static_cast<double>(tally.strings) / passes;
    state.counters["allocs_per_doc"] = static_cast<double>(tally.allocations) / passes;
    state.counters["copied_strings"] = static_cast<double>(tally.outside);
    state.counters["heap_growth_B"] = heap_growth;
}
BENCHMARK(BM_sj_parser_walk)->Unit(benchmark::kMillisecond);

void BM_memchr_scan(benchmark::State &state) {
    const std::string &doc = document();
    if (memchr(doc.data(), ABSENT_BYTE, doc.size()) != nullptr) {
        state.SkipWithError("the scanned byte occurs in the document");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(memchr(doc.data(), ABSENT_BYTE, doc.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_memchr_scan)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's throughput (the mean when repeated) for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean")
                continue;
            auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end())
                throughput[run.run_name.function_name] = rate->second.value;
            auto strings = run.counters.find("strings_per_doc");
            if (strings != run.counters.end())
                per_doc = {strings->second.value, run.counters.at("allocs_per_doc").value};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> throughput;
    std::pair<double, double> per_doc;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto parse = reporter.throughput.find("BM_sj_parser_walk");
    auto scan = reporter.throughput.find("BM_memchr_scan");
    if (parse == reporter.throughput.end() || scan == reporter.throughput.end())
        return 0;
    printf("\nDocument: %zu bytes, %.0f strings; parser allocations per document: %.0f\n",
           document().size(), reporter.per_doc.first, reporter.per_doc.second);
    printf("sj_parser walk: %.1f MB/s, memchr scan: %.1f MB/s, parse/scan ratio: %.4f\n",
           parse->second / 1e6, scan->second / 1e6, parse->second / scan->second);
    return 0;
}
