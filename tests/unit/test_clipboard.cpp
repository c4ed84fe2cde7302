// The clipboard core over backends the tests hold: offers made by hand read
// through read-clipboard (the read order, uri-lists as programs write them,
// images in every format made by ImageMagick and compared with its own
// decoding, damaged bytes), what write-clipboard offers (uri-list bytes
// against Python's pathlib), and backends that fail.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/image.h"
#include "library/routines_core.h"
#include "services/clipboard.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

using bytes = std::string;

bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, const bytes& b) {
    std::ofstream f(path, std::ios::binary);
    f.write(b.data(), std::streamsize(b.size()));
}

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// ImageMagick's files, made once: the BMP codec's fixtures (a 5x3 image with
// clear and half-clear pixels, bottom-up and top-down), the same image as an
// opaque GIF and JPEG, and 2x1 images to tell one format's answer from another's.
const std::string& fixtures() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kel_clipboard_XXXXXX";
        std::string d = mkdtemp(tmpl);
        const std::string make = "/usr/bin/python3 " + std::string(KEL_SOURCE_DIR) + "/tests/unit/bmp_fixtures.py make " + d;
        const std::string cv = "/usr/bin/convert ";
        const bool ok = sh(make) && sh(cv + d + "/src.png -alpha off GIF:" + d + "/only.gif") &&
                        sh(cv + d + "/only.gif -depth 8 rgba:" + d + "/only.gif.rgba") &&
                        sh(cv + d + "/src.png -alpha off -quality 95 JPEG:" + d + "/only.jpg") &&
                        sh(cv + "-size 2x1 xc:red PNG:" + d + "/small.png") &&
                        sh(cv + "-size 2x1 xc:red GIF:" + d + "/small.gif") &&
                        sh(cv + "-size 2x1 xc:red JPEG:" + d + "/small.jpg") &&
                        sh(cv + "-size 2x1 xc:red BMP:" + d + "/small.bmp");
        if (!ok) ADD_FAILURE() << "fixtures in " << d;
        return d;
    }();
    return dir;
}
bytes fixture(const char* name) { return read_file(fixtures() + "/" + name); }

// A clipboard that cannot be reached at all.
class failing_backend final : public clipboard::backend {
public:
    bool offer(clipboard::offer_list) override { return false; }
    clipboard::fetch_result fetch(std::string_view, std::string*) override { return clipboard::fetch_result::failed; }
};

clipboard::backend* in_use = nullptr;

struct Clipboard : eval_test {
    clipboard::memory_backend held;
    library_routines::clipboard_service saved;

    void SetUp() override {
        eval_test::SetUp();
        ASSERT_TRUE(sh("/usr/bin/convert -version >/dev/null 2>&1")) << "ImageMagick (tools/install-deps.sh) is missing";
        saved = library_routines::clipboard;
        use(&held);
        library_routines::clipboard = {[](kel_value* out) { return in_use && clipboard::read(*in_use, out); },
                                       [](const kel_value* v) { return clipboard::write(in_use, v); }};
    }
    void TearDown() override {
        library_routines::clipboard = saved;
        eval_test::TearDown();
    }
    void use(clipboard::backend* b) { in_use = b; }
    void offer(clipboard::offer_list formats) { ASSERT_TRUE(held.offer(std::move(formats))); }
    bytes offered(const char* format) {
        std::string b;
        return held.fetch(format, &b) == clipboard::fetch_result::found ? b : "<absent>";
    }
};

// The pixels of the image a global word holds, as RGBA bytes, after "WxH ".
std::string rgba_of(const char* word) {
    kel_value w = *word::from_c_string(word);
    const kel_value img = *_context::get_bound(&w);
    if (type_of(&img) != types::image) return "not an image";
    image::pixel_lock lock = image::lock_pixels(&img, false);
    std::string out = std::to_string(lock.width) + "x" + std::to_string(lock.height) + " ";
    for (int32_t y = 0; y < lock.height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(lock.pixels) +
                                                            int64_t(y) * lock.stride);
        for (int32_t x = 0; x < lock.width; ++x) {
            const uint32_t p = row[x];
            out += {char(p >> 16), char(p >> 8), char(p), char(p >> 24)};
        }
    }
    image::unlock_pixels(lock);
    return out;
}

}  // namespace

TEST_F(Clipboard, OffersMadeByHandReadInOrder) {
    const bytes png5x3 = fixture("src.png"), bmp5x3 = fixture("v32.bmp"), gif5x3 = fixture("only.gif"),
                jpeg5x3 = fixture("only.jpg"), png2 = fixture("small.png"), gif2 = fixture("small.gif"),
                jpeg2 = fixture("small.jpg"), bmp2 = fixture("small.bmp");
    const bytes crlf = "file:///tmp/a%20b\r\nfile:///tmp/c\r\n";
    struct {
        const char* what;
        clipboard::offer_list offer;
        const char* want;  // read-clipboard molded, or the image's size
    } cases[] = {
        {"nothing", {}, "none"},
        {"UTF8_STRING", {{"UTF8_STRING", "h\xC3\xA9llo"}}, "\"h\xC3\xA9llo\""},
        {"text/plain alone", {{"text/plain;charset=utf-8", "x"}}, "\"x\""},
        {"text up to its NUL", {{"UTF8_STRING", bytes("a\0b", 3)}}, "\"a\""},
        {"a format not read", {{"text/html", "<b>x</b>"}}, "none"},
        {"uri-list, CR LF", {{"text/uri-list", crlf}}, "[%\"/tmp/a b\" %/tmp/c]"},
        {"uri-list, LF", {{"text/uri-list", "file:///tmp/a%20b\nfile:///tmp/c"}}, "[%\"/tmp/a b\" %/tmp/c]"},
        {"uri-list as programs write it",
         {{"text/uri-list",
           "# a comment\r\nfile://localhost/tmp/%E5%90%8D\r\n\r\nhttp://example.com/x\r\n"
           "file://elsewhere/y\r\n  FILE:///tmp/z  \r\nfile:/tmp/one%2fslash\r\nfile:///tmp/100%zz\r\n"
           "file:///tmp/nul%00x\r\nfile:relative\r\n"}},
         "[%/tmp/名 %/tmp/z %/tmp/one/slash %\"/tmp/100%zz\"]"},
        {"empty uri-list", {{"text/uri-list", ""}}, "[]"},
        {"uri-list naming no local file", {{"text/uri-list", "http://h/x\r\n"}}, "none"},
        {"uri-list naming no local file, then an image", {{"text/uri-list", "http://h/x\r\n"}, {"image/gif", gif2}},
         "2x1"},
        {"text before files and images",
         {{"image/png", png2}, {"text/uri-list", crlf}, {"text/plain;charset=utf-8", "t"}}, "\"t\""},
        {"files before images", {{"image/png", png2}, {"text/uri-list", crlf}}, "[%\"/tmp/a b\" %/tmp/c]"},
        {"PNG before JPEG", {{"image/jpeg", jpeg2}, {"image/png", png5x3}}, "5x3"},
        {"JPEG before GIF", {{"image/gif", gif2}, {"image/jpeg", jpeg5x3}}, "5x3"},
        {"GIF before BMP", {{"image/bmp", bmp5x3}, {"image/gif", gif2}}, "2x1"},
        {"BMP alone", {{"image/bmp", bmp2}}, "2x1"},
        {"PNG bytes that are not PNG", {{"image/png", gif2}}, "false"},
        {"damaged JPEG", {{"image/jpeg", jpeg2.substr(0, 20)}}, "false"},
        {"truncated BMP", {{"image/bmp", bmp5x3.substr(0, bmp5x3.size() - 4)}}, "false"},
        {"BMP with no file header", {{"image/bmp", bmp5x3.substr(14)}}, "false"},
    };
    for (auto& c : cases) {
        offer(c.offer);
        const std::string got = run("r: read-clipboard either image? r [r/size] [r]");
        EXPECT_EQ(got, c.want) << c.what;
    }
}

TEST_F(Clipboard, ImagesReadAsImageMagickDecodesThem) {
    // Bottom-up (as ImageMagick writes them) and top-down BMP, and an offer of
    // nothing but a GIF.
    struct {
        const char* format;
        const char* file;
    } cases[] = {{"image/bmp", "v32.bmp"}, {"image/bmp", "v32_down.bmp"}, {"image/gif", "only.gif"}};
    for (auto& c : cases) {
        offer({{c.format, fixture(c.file)}});
        ASSERT_EQ(run("got: read-clipboard type? got"), "image!") << c.file;
        EXPECT_EQ(rgba_of("got"), "5x3 " + fixture((std::string(c.file) + ".rgba").c_str())) << c.file;
    }
}

TEST_F(Clipboard, FileListsAreTheUriListPythonWrites) {
    const std::vector<std::string> names = {
        "/tmp/a b/c d.txt", "/tmp/100%.txt", "/tmp/#1 x", "/tmp/\xE5\x90\x8D\xE5\x89\x8D/\xC3\xBC.txt",
        "/tmp/x;y=z&+,!$'()*@:~_-.", "/tmp/\xFF\xFE raw bytes", "/",
    };
    // Python's own URIs for the same bytes.
    const std::string in = fixtures() + "/names", out = fixtures() + "/names.uris";
    bytes joined;
    for (const std::string& n : names) joined += n + '\0';
    write_file(in, joined);
    ASSERT_TRUE(sh("/usr/bin/python3 -c 'import os, sys, pathlib\n"
                   "names = open(sys.argv[1], \"rb\").read().split(b\"\\0\")[:-1]\n"
                   "uris = [pathlib.PurePosixPath(os.fsdecode(n)).as_uri() for n in names]\n"
                   "open(sys.argv[2], \"w\").write(\"\".join(u + \"\\r\\n\" for u in uris))' " +
                   in + " " + out));
    kel_value* list = block::init_cell(stack::push_unset(), int32_t(names.size()));
    for (const std::string& n : names) {
        kel_value f;
        file::make_from_os_path(&f, n.data(), n.size());
        block::ks_add(list, &f);
    }
    runtime_env::define("names", *list);
    stack::drop_cells(1);
    ASSERT_EQ(run("write-clipboard names"), "true");
    EXPECT_EQ(offered("text/uri-list"), read_file(out));
    EXPECT_EQ(run("names = read-clipboard"), "true");
}

TEST_F(Clipboard, WhatEachValueOffers) {
    ASSERT_EQ(run("write-clipboard \"h\u00e9^@\""), "true");
    EXPECT_EQ(offered("UTF8_STRING"), bytes("h\xC3\xA9\0", 4));
    EXPECT_EQ(offered("text/plain;charset=utf-8"), bytes("h\xC3\xA9\0", 4));
    EXPECT_EQ(offered("image/png"), "<absent>");

    // An image goes as PNG and as the BMP codec's file, each read back alone.
    ASSERT_EQ(run("img: make image! [2x1 #{FF0000 00FF00} #{00 80}] write-clipboard img"), "true");
    const bytes png = offered("image/png"), bmp = offered("image/bmp");
    EXPECT_EQ(png.substr(0, 4), "\x89PNG");
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(offered("UTF8_STRING"), "<absent>");
    for (const char* format : {"image/png", "image/bmp"}) {
        offer({{format, format == std::string("image/png") ? png : bmp}});
        EXPECT_EQ(run("img = read-clipboard"), "true") << format;
    }

    // none, and an image of no pixels, leave nothing on the clipboard.
    for (const char* empty : {"none", "make image! 0x0"}) {
        offer({{"UTF8_STRING", "x"}});
        ASSERT_EQ(run((std::string("write-clipboard ") + empty).c_str()), "true") << empty;
        EXPECT_EQ(offered("UTF8_STRING"), "<absent>") << empty;
    }
}

TEST_F(Clipboard, AClipboardThatFailsAnswersFalse) {
    failing_backend failing;
    use(&failing);
    for (const char* code : {"read-clipboard", "write-clipboard none", "write-clipboard \"x\"",
                             "write-clipboard [%/a]", "write-clipboard make image! 1x1"})
        EXPECT_EQ(run(code), "false") << code;
    // A value it cannot hold is refused before the clipboard is asked.
    EXPECT_EQ(run("write-clipboard [%/a 1]"), "!script/invalid-arg");
    use(nullptr);
    EXPECT_EQ(run("write-clipboard \"x\""), "false");
    EXPECT_EQ(run("write-clipboard [%/a #[]]"), "!script/invalid-arg");
}
