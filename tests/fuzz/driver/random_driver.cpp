// Bounded random-input driver: feeds a fuzz target (one LLVMFuzzerTestOneInput
// per tests/fuzz/*.cpp) with seeded random inputs, so every build checks that
// no input crashes a parser. `make fuzz` builds the same targets for libFuzzer.
//   random_<name> [iterations] [seed]
// With KEL_FUZZ_INPUT=path each input is written to that file before it is
// tried, so the one that crashed is left there to be replayed with
//   random_<name> --replay path
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--replay") {
        std::vector<uint8_t> input;
        if (FILE* f = std::fopen(argv[2], "rb")) {
            int c;
            while ((c = std::fgetc(f)) != EOF) input.push_back(static_cast<uint8_t>(c));
            std::fclose(f);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        std::printf("%zu bytes replayed: no crash\n", input.size());
        return 0;
    }
    long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 12345u;
    std::mt19937 rng(seed);
    std::vector<uint8_t> buf;
    const char* keep = std::getenv("KEL_FUZZ_INPUT");
    for (long i = 0; i < iterations; ++i) {
        // Mostly short inputs, some long; bytes biased towards ASCII and the
        // values that matter to text and binary decoders.
        size_t len = (rng() % 8 == 0) ? rng() % 4096 : rng() % 64;
        buf.resize(len);
        int flavour = static_cast<int>(rng() % 4);
        for (auto& b : buf) {
            uint32_t r = rng();
            switch (flavour) {
                case 0: b = static_cast<uint8_t>(r); break;
                case 1: b = static_cast<uint8_t>(32 + r % 95); break;
                case 2: b = static_cast<uint8_t>((r & 1) ? 0x80 | (r >> 8) % 0x40 : 0xC0 | (r >> 8) % 0x40); break;
                default: {
                    static const uint8_t specials[] = {0, 1, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED,
                                                       0xEF, 0xF0, 0xF4, 0xF5, 0xFF, '[', ']', '"', '{',
                                                       '}', '#', '^', '(', ')', ';', ' ', '\n', '0', '.'};
                    b = specials[r % sizeof specials];
                }
            }
        }
        if (keep) {
            if (FILE* f = std::fopen(keep, "wb")) {
                if (!buf.empty()) std::fwrite(buf.data(), 1, buf.size(), f);
                std::fclose(f);
            }
        }
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    std::printf("%ld random inputs, seed %u: no crash\n", iterations, seed);
    return 0;
}
