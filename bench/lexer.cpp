// Benchmark: lexing a 20 MB generated source (nested blocks of words,
// integers, floats and strings, one top-level block per line) into values;
// reports MB/s, the best of several runs. bench/lexer.py generates the same
// document as JSON (same generator, same shape) and times Python's
// json.loads on it, then runs this program for the side-by-side figure.
//   build/bench_lexer [megabytes] [runs]
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "kernel/runtime.h"
#include "services/lexer.h"

using namespace kel;

namespace {

// The generator shared with bench/lexer.py (keep the two in step).
struct generator {
    uint32_t x = 12345;
    bool json = false;
    std::vector<std::string> vocabulary;
    std::string out;

    uint32_t next() {
        x = x * 1103515245u + 12345u;
        return x >> 8;
    }
    std::string name() {
        std::string n;
        const uint32_t len = 3 + next() % 8;
        for (uint32_t i = 0; i < len; ++i) n += static_cast<char>('a' + next() % 26);
        if (next() % 4 == 0) n += "-" + std::to_string(next() % 10);
        return n;
    }
    void item(int depth) {
        const uint32_t k = next() % (depth < 3 ? 10 : 8);
        if (k < 3) {
            const std::string& w = vocabulary[next() % vocabulary.size()];
            out += json ? "\"" + w + "\"" : w;
        } else if (k < 5) {
            out += std::to_string(static_cast<int32_t>(next() % 2000000) - 1000000);
        } else if (k < 6) {
            out += std::to_string(next() % 100000) + "." + std::to_string(next() % 1000);
        } else if (k < 8) {
            out += '"';
            const uint32_t len = 5 + next() % 16;
            for (uint32_t i = 0; i < len; ++i) out += (next() % 6 == 0) ? ' ' : static_cast<char>('a' + next() % 26);
            out += '"';
        } else {
            block(depth + 1);
        }
    }
    void block(int depth) {
        out += '[';
        const uint32_t n = next() % 9;
        for (uint32_t i = 0; i < n; ++i) {
            if (i) out += json ? ", " : " ";
            item(depth);
        }
        out += ']';
    }
    std::string document(size_t bytes) {
        for (int i = 0; i < 1000; ++i) vocabulary.push_back(name());
        out = json ? "[\n" : "";
        bool first = true;
        while (out.size() < bytes) {
            if (!first && json) out += ",\n";
            first = false;
            block(0);
            if (!json) out += '\n';
        }
        if (json) out += "\n]\n";
        return out;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 20.0;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    runtime::init();
    generator g;
    const std::string text = g.document(static_cast<size_t>(megabytes * 1e6));
    double best = 1e9;
    double best_cpu = 1e9;
    int32_t count = 0;
    for (int r = 0; r < runs; ++r) {
        kel_value out;
        lexer::options o;
        timespec c0, c1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        const auto t0 = std::chrono::steady_clock::now();
        lexer::transcode_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()), text.size(), o);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        const double cpu = (c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) / 1e9;
        if (s < best) best = s;
        if (cpu < best_cpu) best_cpu = cpu;
        count = block::ks_length_q(&out);
    }
    std::printf("kel    lexer       %.1f MB in %.3f s: %.0f MB/s (CPU time %.3f s: %.0f MB/s; %d top-level blocks)\n",
                text.size() / 1e6, best, text.size() / 1e6 / best, best_cpu, text.size() / 1e6 / best_cpu, count);
    return 0;
}
