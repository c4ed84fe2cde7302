// The compression service on large inputs: deflate, zlib and gzip
// compression of the files bench/compression.py writes (100 MB of text and
// of random bytes), and decompression of our own streams and of zlib's
// level-6 streams of the same data. Run through bench/compression.py, which
// makes the files, runs this, and times Python's zlib beside it. Prints the
// best of three runs in milliseconds, MB/s of uncompressed data, and sizes.
//   build/bench_compression DIR
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/best_of.h"
#include "evaluator/checksum.h"
#include "services/compression.h"

namespace cz = kel::compression;

namespace {

std::vector<uint8_t> slurp(const std::string& path) {
    std::vector<uint8_t> v;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return v;
    std::fseek(f, 0, SEEK_END);
    v.resize(static_cast<size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(v.data(), 1, v.size(), f) != v.size()) v.clear();
    std::fclose(f);
    return v;
}

void spill(const std::string& path, const std::vector<uint8_t>& v) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(v.data(), 1, v.size(), f);
    std::fclose(f);
}


}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_compression DIR (run bench/compression.py)\n");
        return 2;
    }
    cz::install_checks(kel::checksum::crc32_continue, kel::checksum::adler32_continue);
    const std::string dir = argv[1];
    const struct {
        const char* name;
        cz::codec pack, unpack;
    } methods[] = {{"deflate", cz::deflate, cz::inflate},
                   {"zlib", cz::zlib_compress, cz::zlib_decompress},
                   {"gzip", cz::gzip_compress, cz::gzip_decompress}};
    int failures = 0;
    for (const char* kind : {"text", "random"}) {
        const std::vector<uint8_t> data = slurp(dir + "/" + kind);
        const double mb = data.size() / 1e6;
        for (const auto& m : methods) {
            std::vector<uint8_t> out(data.size() + data.size() / 8 + 64);
            size_t size = 0;
            const double pack_ms = kel::bench::best_of(3, [&] {
                size = out.size();
                if (m.pack(out.data(), &size, data.data(), data.size()) != 0) ++failures;
            });
            out.resize(size);
            spill(dir + "/" + kind + "." + m.name + ".kel", out);
            std::printf("kel compress   %-6s %-7s %8.1f ms %7.0f MB/s  %11zu bytes\n", kind, m.name, pack_ms,
                        mb / (pack_ms / 1000), size);
            for (const char* source : {"kel", "z6"}) {
                const std::vector<uint8_t> stream = slurp(dir + "/" + kind + "." + m.name + "." + source);
                std::vector<uint8_t> back(data.size());
                const double unpack_ms = kel::bench::best_of(3, [&] {
                    size_t n = back.size();
                    if (m.unpack(back.data(), &n, stream.data(), stream.size()) != 0 || n != data.size()) ++failures;
                });
                if (back != data) ++failures;
                std::printf("kel decompress %-6s %-7s %8.1f ms %7.0f MB/s  (%s stream)\n", kind, m.name, unpack_ms,
                            mb / (unpack_ms / 1000), source);
            }
        }
    }
    if (failures) std::printf("FAILED: %d runs did not round-trip\n", failures);
    return failures ? 1 : 0;
}
