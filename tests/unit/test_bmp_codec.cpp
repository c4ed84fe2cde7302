// The BMP reader and writer over bytes, against ImageMagick: fixtures it
// writes in every bit count and header form (and top-down copies) must decode
// to exactly its own RGBA, our encodings must read back exactly in it, and
// damaged or unsupported files (embedded JPEG or PNG) are refused without a read outside the input
// (each input sits in an exactly sized heap buffer, so ASan sees overreads).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "kernel/stack.h"
#include "services/bmp_codec.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

using bytes = std::vector<uint8_t>;

bool have_oracle() { return std::system("/usr/bin/convert -version >/dev/null 2>&1") == 0; }

bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, const bytes& b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::string script() { return std::string(KEL_SOURCE_DIR) + "/tests/unit/bmp_fixtures.py"; }

// The fixtures, made once for the whole suite.
const std::string& fixtures() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kel_bmp_XXXXXX";
        std::string d = mkdtemp(tmpl);
        const std::string cmd = "/usr/bin/python3 " + script() + " make " + d;
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
        return d;
    }();
    return dir;
}

// Decodes a copy in an exactly sized heap buffer; the pixels as RGBA bytes.
bmp::result decode_rgba(const bytes& file, bytes* rgba, int32_t* w = nullptr, int32_t* h = nullptr) {
    auto* copy = static_cast<uint8_t*>(std::malloc(file.size() ? file.size() : 1));
    std::memcpy(copy, file.data(), file.size());
    kel_value* img = stack::push_unset();
    const bmp::result r = bmp::decode(copy, file.size(), img);
    std::free(copy);
    if (r == bmp::result::ok) {
        image::pixel_lock lock = image::lock_pixels(img, false);
        if (w) *w = lock.width;
        if (h) *h = lock.height;
        rgba->clear();
        for (int32_t y = 0; y < lock.height; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(lock.pixels) +
                                                                int64_t(y) * lock.stride);
            for (int32_t x = 0; x < lock.width; ++x) {
                const uint32_t p = row[x];
                rgba->insert(rgba->end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p), uint8_t(p >> 24)});
            }
        }
    }
    stack::drop_cells(1);
    return r;
}

void put32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A file of `size` zero bytes holding a file header and a 40-byte info
// header: the pixels start after `table` bytes of masks or palette.
bytes info_file(size_t size, uint32_t table, uint32_t width, uint32_t height, uint8_t bits, uint32_t compression) {
    bytes f(size, 0);
    f[0] = 'B', f[1] = 'M';
    put32(f, 10, 14 + 40 + table);
    put32(f, 14, 40);
    put32(f, 18, width);
    put32(f, 22, height);
    f[26] = 1, f[28] = bits;
    put32(f, 30, compression);
    return f;
}

struct BmpCodec : eval_test {
    void SetUp() override {
        eval_test::SetUp();
        ASSERT_TRUE(have_oracle()) << "ImageMagick (tools/install-deps.sh) is missing";
    }
};

}  // namespace

TEST_F(BmpCodec, FixturesDecodeToImageMagicksPixels) {
    // Not the 4-4-4-4 form: this ImageMagick shifts 4-bit fields up without
    // widening them (15 reads as 240), where we scale the widest value to 255.
    const char* names[] = {"core1", "core4", "core24", "info1", "info4", "info8", "info24",
                           "v1",    "v4",    "v8",     "v16",   "v24",   "v32",   "v32_5551", "rle8"};
    for (const char* name : names) {
        for (const char* suffix : {"", "_down"}) {
            const std::string path = fixtures() + "/" + name + suffix + ".bmp";
            const bytes file = read_file(path);
            if (file.empty() && *suffix) continue;  // core headers have no top-down form
            ASSERT_FALSE(file.empty()) << path;
            bytes got;
            int32_t w = 0, h = 0;
            ASSERT_EQ(decode_rgba(file, &got, &w, &h), bmp::result::ok) << path;
            EXPECT_EQ(w, 5) << path;
            EXPECT_EQ(h, 3) << path;
            EXPECT_EQ(got, read_file(path + ".rgba")) << path;
        }
    }
}

TEST_F(BmpCodec, EncodingsReadBackInImageMagick) {
    // The 5x3 source, a single pixel and a wide row whose stride needs no padding.
    struct sized { int32_t w, h; } cases[] = {{5, 3}, {1, 1}, {17, 2}};
    for (auto [w, h] : cases) {
        kel_value* img = stack::push_unset();
        image::make_record(img, w, h);
        bytes want;
        {
            image::pixel_lock lock = image::lock_pixels(img, true);
            for (int32_t i = 0; i < w * h; ++i) {
                const uint8_t r = uint8_t(i * 37), g = uint8_t(255 - i * 11), b = uint8_t(i * 5 + 3),
                              a = uint8_t(i % 3 == 0 ? 0 : i % 3 == 1 ? 128 : 255);
                lock.pixels[i] = uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
                // ImageMagick reports a clear pixel's colour as it is stored.
                want.insert(want.end(), {r, g, b, a});
            }
        }
        kel_value* bin = stack::push_unset();
        ASSERT_EQ(bmp::encode(img, bin), bmp::result::ok);
        const bytes file(binary::ks_head(bin), binary::ks_head(bin) + binary::ks_length_q(bin));
        const std::string path = fixtures() + "/ours_" + std::to_string(w) + "x" + std::to_string(h) + ".bmp";
        write_file(path, file);
        const std::string cmd = "/usr/bin/python3 " + script() + " check " + path;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(read_file(path + ".rgba"), want) << path;
        bytes again;
        EXPECT_EQ(decode_rgba(file, &again), bmp::result::ok);
        EXPECT_EQ(again, want);
        stack::drop_cells(2);
    }
}

TEST_F(BmpCodec, DamagedAndUnsupportedFilesAreRefused) {
    const bytes info4 = read_file(fixtures() + "/info4.bmp");
    const bytes info24 = read_file(fixtures() + "/info24.bmp");
    const bytes v32 = read_file(fixtures() + "/v32.bmp");
    const bytes v16 = read_file(fixtures() + "/v16.bmp");
    const bytes rle8 = read_file(fixtures() + "/rle8.bmp");
    ASSERT_FALSE(info4.empty() || info24.empty() || v32.empty() || v16.empty() || rle8.empty());
    auto with = [](bytes b, size_t at, uint32_t v) { put32(b, at, v); return b; };
    auto cut = [](bytes b, size_t n) { b.resize(n); return b; };
    auto with16 = [](bytes b, size_t at, uint16_t v) { b[at] = uint8_t(v); b[at + 1] = uint8_t(v >> 8); return b; };
    // A palette of 3 entries, while the 4-bit indices reach further.
    bytes short_palette = with(info4, 46, 3);
    const uint32_t off = info4[10] | info4[11] << 8;
    short_palette[off] = 0xF0;
    // The pixels replaced by a delta code without its two bytes, and by an
    // absolute run of 200 indices with 2 of them present.
    const uint32_t rle_at = rle8[10] | rle8[11] << 8;
    bytes rle_delta_cut(rle8.begin(), rle8.begin() + rle_at);
    rle_delta_cut.insert(rle_delta_cut.end(), {0, 2});
    bytes rle_absolute_cut(rle8.begin(), rle8.begin() + rle_at);
    rle_absolute_cut.insert(rle_absolute_cut.end(), {0, 200, 1, 1});
    struct { const char* what; bytes file; } cases[] = {
        {"RLE8 on top-down rows", with(rle8, 22, uint32_t(-3))},
        {"RLE8 on 4 bits", with16(rle8, 28, 4)},
        {"RLE4 on 8 bits", with(rle8, 30, 2)},
        {"RLE8 index past a palette of 1", with(rle8, 46, 1)},
        {"RLE8 delta cut short", rle_delta_cut},
        {"RLE8 absolute run past the end", rle_absolute_cut},
        {"embedded JPEG", with(info24, 30, 4)},
        {"embedded PNG", with(info24, 30, 5)},
        {"cut inside the pixels", cut(info24, info24.size() - 4)},
        {"cut inside the header", cut(v32, 60)},
        {"cut inside the masks after an info header", cut(with(with16(info24, 28, 32), 30, 3), 60)},
        {"70,000 pixels wide", with(info24, 18, 70000)},
        {"65536 rows top-down", with(info24, 22, uint32_t(-65536))},
        {"the most negative height", with(info24, 22, 0x80000000u)},
        {"width 0", with(info24, 18, 0)},
        {"height 0", with(info24, 22, 0)},
        {"negative width", with(info24, 18, uint32_t(-5))},
        {"pixel offset past the end", with(info24, 10, uint32_t(info24.size() + 1))},
        {"pixel offset 4 GiB out", with(info24, 10, 0xFFFFFFFFu)},
        {"pixel offset inside the header", with(info24, 10, 20)},
        {"palette past the end", with(info4, 46, 0x40000000u)},
        {"palette index past the palette", short_palette},
        {"bit count 7", with16(info24, 28, 7)},
        {"bit count 0", with16(info24, 28, 0)},
        {"header size 64", with(info24, 14, 64)},
        {"header size past the end", with(info24, 14, 124)},
        {"bitfields on 24 bits", with(info24, 30, 3)},
        {"empty red mask", with(v32, 54, 0)},
        {"red mask of two runs", with(v32, 54, 0x00F0F000u)},
        {"alpha mask of two runs", with(v32, 66, 0x0F000F00u)},
        {"16-bit mask above the pixel", with(v16, 54, 0x001F0000u)},
        {"no BM", with16(info24, 0, 0x4142)},
        {"14 bytes", cut(info24, 14)},
        {"nothing", bytes{}},
    };
    for (auto& c : cases) {
        bytes got;
        EXPECT_EQ(decode_rgba(c.file, &got), bmp::result::bad_media) << c.what;
    }
}

TEST_F(BmpCodec, MasksNarrowerThanAByteAreWidenedAndBitfieldsAfterAnInfoHeaderRead) {
    // One 2x1 row, 16 bits, BI_BITFIELDS after an info header: R 0xF800 (5),
    // G 0x07E0 (6), B 0x001F (5), no alpha.
    bytes f = info_file(14 + 40 + 12 + 4, 12, 2, 1, 16, 3);
    put32(f, 54, 0xF800), put32(f, 58, 0x07E0), put32(f, 62, 0x001F);
    const uint16_t px[2] = {0xFFFF, uint16_t(1 << 11 | 1 << 5 | 1)};
    std::memcpy(f.data() + 66, px, 4);
    bytes got;
    ASSERT_EQ(decode_rgba(f, &got), bmp::result::ok);
    // The widest value is 255 in each channel; 1 of 5 bits is 8, 1 of 6 bits is 4.
    EXPECT_EQ(got, (bytes{255, 255, 255, 255, 8, 4, 8, 255}));
    // A 32-bit BI_RGB file is opaque whatever its fourth bytes hold.
    f[28] = 32;
    put32(f, 30, 0);
    put32(f, 22, 1);
    const uint32_t words[2] = {0x11223344u, 0x00A0B0C0u};
    std::memcpy(f.data() + 66, words, 4);
    f.insert(f.end(), reinterpret_cast<const uint8_t*>(words) + 4, reinterpret_cast<const uint8_t*>(words) + 8);
    ASSERT_EQ(decode_rgba(f, &got), bmp::result::ok);
    EXPECT_EQ(got, (bytes{0x22, 0x33, 0x44, 255, 0xA0, 0xB0, 0xC0, 255}));
}

TEST_F(BmpCodec, RunLengthSkipsLeaveAZeroedStoreUnwritten) {
    // 4x2, 8 bits run-length: a run of two index 1 on the bottom row, then the
    // end of the bitmap. Into a store already zeroed only those two pixels
    // are written, so a header claiming a huge bitmap costs no more memory
    // than its stream sets; any other store is cleared first.
    bytes f = info_file(14 + 40 + 8 + 4, 8, 4, 2, 8, 1);
    put32(f, 46, 2);
    put32(f, 58, 0x00FF0000u);  // index 1: red
    const uint8_t stream[4] = {2, 1, 0, 1};
    std::memcpy(f.data() + 62, stream, 4);
    bmp::layout lay;
    ASSERT_EQ(bmp::parse(f.data(), f.size(), &lay), bmp::result::ok);
    const uint32_t mark = 0x12345678u, red = 0xFFFF0000u;
    std::vector<uint32_t> store(8, mark);
    bmp::decode_pixels(f.data(), f.size(), lay, store.data(), 16, true);
    EXPECT_EQ(store, (std::vector<uint32_t>{mark, mark, mark, mark, red, red, mark, mark}));
    std::fill(store.begin(), store.end(), mark);
    bmp::decode_pixels(f.data(), f.size(), lay, store.data(), 16);
    EXPECT_EQ(store, (std::vector<uint32_t>{0, 0, 0, 0, red, red, 0, 0}));
}
