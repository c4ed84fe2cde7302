// The draw dialect on images, headless: pixel probes after drawing, and the
// errors with the argument each one carries. Cases build their image and
// block in Kel (`img`, `blk`), draw through the C++ entry and probe with
// `pick`. Anti-aliasing is off wherever a probe sits on a shape's edge.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "gui/backend/draw_walker.h"
#include "kernel/cycle_guard.h"
#include "kernel/print.h"
#include "tests/unit/eval_support.h"

namespace kel::test {
namespace {

struct draw_test : eval_test {
    // Makes `img` from the image expression and `blk` from the block code,
    // draws, and answers "" or the error as "!category/id".
    std::string draw(const char* image, const char* block, bool report_only = false) {
        const std::string setup = std::string("img: ") + image + " blk: [" + block + "] none";
        EXPECT_EQ(run(setup.c_str()), "none") << setup;
        return redraw(report_only);
    }
    // Draws `blk` on `img` again.
    std::string redraw(bool report_only = false) {
        kel_value img_word = *word::from_c_string("img");
        kel_value blk_word = *word::from_c_string("blk");
        const kel_value img = *_context::get_bound(&img_word);
        const kel_value blk = *_context::get_bound(&blk_word);
        const error_trap trap = open_error_trap();
        try {
            if (report_only)
                gui::do_draw(&img, &blk, true);
            else
                gui::os_do_draw(&img, &blk);
        } catch (const kel_unwind& u) {
            close_error_trap(trap, u.code == code_value(signal_code::error));
            return "!" + fired();
        }
        close_error_trap(trap, false);
        return "";
    }
    // How many pixels of `img` are the colour r.g.b.t.
    int count(const char* colour) {
        const std::string code = std::string("n: 0 foreach p img [if p = ") + colour + " [n: n + 1]] n";
        return std::stoi(run(code.c_str()));
    }
    // The pixel at x, y of `img` as a tuple r.g.b.t.
    std::string at(int x, int y) {
        const std::string code = "pick img (" + std::to_string(y) + " * img/size/x) + " + std::to_string(x + 1);
        return run(code.c_str());
    }
};

constexpr const char* white = "255.255.255.0";
constexpr const char* red = "255.0.0.0";
constexpr const char* blue = "0.0.255.0";

TEST_F(draw_test, BoxFillsBetweenItsCorners) {
    ASSERT_EQ(draw("make image! 10x10", "anti-alias off pen off fill-pen 255.0.0 box 6x6 2x2"), "");
    EXPECT_EQ(at(2, 2), red);
    EXPECT_EQ(at(5, 5), red);
    EXPECT_EQ(at(6, 6), white);
    EXPECT_EQ(at(1, 1), white);
}

TEST_F(draw_test, ZeroLineWidthHidesTheStrokeUntilAWidthComesBack) {
    struct row {
        const char* block;
        const char* at_5_5;
    } rows[] = {
        {"anti-alias off pen 0.0.255 line-width 0 line 0x5 10x5", white},
        {"anti-alias off pen 0.0.255 line-width 0 line-width 2 line 0x5 10x5", blue},
        {"anti-alias off line-width 0 pen 0.0.255 line 0x5 10x5", white},
        {"anti-alias off line-width 0 pen 0.0.255 line-width 2 line 0x5 10x5", blue},
        {"anti-alias off pen off line-width 0 line-width 2 line 0x5 10x5", white},
        {"anti-alias off pen off pen 0.0.255 line-width 2 line 0x5 10x5", blue},
    };
    for (const row& r : rows) {
        ASSERT_EQ(draw("make image! 10x10", r.block), "") << r.block;
        EXPECT_EQ(at(5, 5), r.at_5_5) << r.block;
    }
}

TEST_F(draw_test, ClipsNarrowWhateverTheirModeWord) {
    for (const char* mode : {"", "replace", "union", "xor", "exclude", "intersect"}) {
        const std::string block = std::string("anti-alias off pen off fill-pen 255.0.0 clip 0x0 10x10 ") + mode +
                                   " clip 5x5 20x20 " + mode + " box 0x0 20x20";
        ASSERT_EQ(draw("make image! 20x20", block.c_str()), "") << block;
        EXPECT_EQ(at(4, 4), white) << block;
        EXPECT_EQ(at(5, 5), red) << block;
        EXPECT_EQ(at(9, 9), red) << block;
        EXPECT_EQ(at(10, 10), white) << block;
        EXPECT_EQ(at(12, 3), white) << block;
    }
}

TEST_F(draw_test, AClipWithABlockEndsWithTheBlock) {
    ASSERT_EQ(draw("make image! 20x20",
                   "anti-alias off pen off fill-pen 255.0.0 clip 0x0 5x5 [box 0x0 20x20] fill-pen 0.0.255 "
                   "box 10x10 20x20"),
              "");
    EXPECT_EQ(at(2, 2), red);
    EXPECT_EQ(at(7, 7), white);
    EXPECT_EQ(at(15, 15), blue);
}

TEST_F(draw_test, PushRestoresPenWidthAndMatrix) {
    ASSERT_EQ(draw("make image! 20x20",
                   "anti-alias off pen 255.0.0 line-width 2 push [pen 255.255.0 line-width 5 translate 0x10] "
                   "line 0x5 20x5"),
              "");
    EXPECT_EQ(at(10, 4), red);
    EXPECT_EQ(at(10, 5), red);
    EXPECT_EQ(at(10, 3), white);
    EXPECT_EQ(at(10, 6), white);
    EXPECT_EQ(at(10, 15), white);
}

TEST_F(draw_test, MatricesApplyTheNewOperationFirst) {
    struct row {
        const char* block;
        int x, y;           // inside the drawn box
        int out_x, out_y;   // outside it
    } rows[] = {
        // (1, 0) turns to (0, 1): the box 0..4 x 0..2 lies at -2..0 x 0..4, then moves right by 10.
        {"translate 10x0 rotate 90 box 0x0 4x2", 9, 3, 11, 1},
        {"rotate 90 translate 0x-10 box 0x0 4x2", 9, 3, 11, 1},
        {"rotate 90 10x0 box 10x0 14x2", 9, 3, 12, 1},
        {"scale 2 3 box 1x1 3x2", 5, 5, 1, 1},
        {"scale 200% 50% box 1x2 3x6", 5, 2, 1, 1},
        {"matrix [1 0 0 1 10 0] box 0x0 2x2", 11, 1, 1, 1},
        {"translate 10x0 reset-matrix box 0x0 2x2", 1, 1, 11, 1},
        {"translate 10x10 invert-matrix box 10x10 12x12", 1, 1, 11, 11},
        // a singular matrix stays, draws nothing, and leaves the canvas usable
        {"scale 0 0 invert-matrix box 0x0 2x2 reset-matrix box 10x10 12x12", 11, 11, 1, 1},
        {"translate 10x0 [box 0x0 2x2] box 0x10 2x12", 11, 1, 1, 1},
        {"translate 10x0 [box 0x0 2x2] box 0x10 2x12", 1, 11, 11, 11},
        {"skew 45 box 0x0 2x4", 4, 3, 0, 3},
        // rotation, then scaling, then translation, each combined as a new
        // operation: the translation acts first
        {"transform 90 2 1 0x-10 box 0x0 2x2", 9, 3, 11, 1},
        {"transform 5x5 90 1 1 0x0 box 5x5 7x7", 4, 6, 6, 6},
        {"rotate 'pen 90 box 0x0 2x2", 1, 1, 11, 1},
    };
    for (const row& r : rows) {
        const std::string block = std::string("anti-alias off pen off fill-pen 0.0.255 ") + r.block;
        ASSERT_EQ(draw("make image! 20x20", block.c_str()), "") << r.block;
        EXPECT_EQ(at(r.x, r.y), blue) << r.block;
        EXPECT_EQ(at(r.out_x, r.out_y), white) << r.block;
    }
}

TEST_F(draw_test, ASetWordKeepsItsPlaceInTheBlock) {
    ASSERT_EQ(draw("make image! 20x20", "anti-alias off pen off fill-pen 255.0.0 w: circle 5x5 3"), "");
    EXPECT_EQ(at(5, 5), red);
    EXPECT_EQ(run("index? w"), "8");
    EXPECT_EQ(run("same? head w blk"), "true");
    run("w/2: 15x15 img: make image! 20x20");
    ASSERT_EQ(redraw(), "");
    EXPECT_EQ(at(5, 5), white);
    EXPECT_EQ(at(15, 15), red);
    // Past the head, the position stays absolute.
    run("blk: next next blk img: make image! 20x20");
    ASSERT_EQ(redraw(), "");
    EXPECT_EQ(run("index? w"), "8");
}

TEST_F(draw_test, StraightAlphaSurvivesTheRoundTrip) {
    // Premultiplying keeps full channels at any opacity and every channel
    // of an opaque pixel; a fully transparent pixel keeps no colour.
    ASSERT_EQ(draw("make image! [3x1 #{FF0000 64C80A 102030} #{80 00 FF}]", "pen off"), "");
    EXPECT_EQ(at(0, 0), "255.0.0.128");
    EXPECT_EQ(at(1, 0), "100.200.10.0");
    EXPECT_EQ(at(2, 0), "0.0.0.255");
    ASSERT_EQ(draw("make image! [4x4 0.0.0.255]", "anti-alias off pen off fill-pen 255.0.0.128 box 0x0 2x2"), "");
    EXPECT_EQ(at(0, 0), "255.0.0.128");
    EXPECT_EQ(at(3, 3), "0.0.0.255");
}

TEST_F(draw_test, TheOwnerHearsOfTheDrawing) {
    run("log: copy [] o: make object! [m: make image! 4x4 on-deep-change*: func [owner word target action new "
        "index part] [append log reduce [word action new index part]]]");
    run("img: o/m blk: [box 0x0 2x2]");
    ASSERT_EQ(redraw(), "");
    EXPECT_EQ(run("log"), "[m poked none -1 -1]");
    run("img: make image! 0x0 blk: [box 0x0 2x2] o/m: img clear log");
    ASSERT_EQ(redraw(), "");
    EXPECT_EQ(run("log"), "[]");
}

TEST_F(draw_test, NothingIsWalkedOnAnEmptyImage) {
    EXPECT_EQ(draw("make image! 0x10", "foo"), "");
    EXPECT_EQ(draw("make image! 10x0", "foo"), "");
}

TEST_F(draw_test, ShapesReachWhereTheyShould) {
    struct row {
        const char* block;
        int x, y;
        const char* colour;
    } rows[] = {
        {"box 0x0 20x20 5", 0, 0, white},
        {"box 0x0 20x20 5", 2, 10, blue},
        {"box 0x0 20x20", 0, 0, blue},
        {"triangle 0x0 20x0 0x20", 3, 3, blue},
        {"triangle 0x0 20x0 0x20", 15, 15, white},
        // even-odd: the inner square of the self-crossing outline is a hole
        {"polygon 0x0 20x0 20x20 0x20 0x0 5x5 15x5 15x15 5x15 5x5", 10, 10, white},
        {"polygon 0x0 20x0 20x20 0x20 0x0 5x5 15x5 15x15 5x15 5x5", 2, 2, blue},
        {"circle 10x10 5", 10, 10, blue},
        {"circle 10x10 5", 10, 3, white},
        {"circle 10x10 8 3", 16, 10, blue},
        {"circle 10x10 8 3", 10, 15, white},
        {"ellipse 2x8 16x4", 17, 10, blue},
        {"ellipse 2x8 16x4", 10, 5, white},
        {"arc 10x10 8x8 0 90 closed", 13, 13, blue},
        {"arc 10x10 8x8 0 90 closed", 7, 13, white},
        {"arc 10x10 8x8 0 270 closed", 13, 7, white},
        {"arc 10x10 8x8 0 270 closed", 7, 13, blue},
        {"arc 10x10 8x8 0 -90 closed", 13, 7, blue},
        {"arc 10x10 8x8 0 359.999 closed", 12, 7, blue},
        {"curve 0x0 20x0 20x20", 15, 8, blue},
        {"curve 0x0 20x0 20x20", 15, 3, white},
        {"curve 0x0 20x0 20x20", 3, 15, white},
        {"curve 0x20 0x0 20x0 20x20", 10, 10, blue},
        {"spline 0x0 20x0 20x20 closed", 15, 5, blue},
        {"spline 0x0 20x0 20x20 closed", 3, 15, white},
    };
    for (const row& r : rows) {
        const std::string block = std::string("anti-alias off pen off fill-pen 0.0.255 ") + r.block;
        ASSERT_EQ(draw("make image! 20x20", block.c_str()), "") << r.block;
        EXPECT_EQ(at(r.x, r.y), r.colour) << r.block;
    }
}

TEST_F(draw_test, TextDrawsInThePenColourUnlessAFontPinsIt) {
    ASSERT_EQ(draw("make image! 40x20", "anti-alias off pen 255.0.0 text 0x0 \"MMM\""), "");
    EXPECT_GT(count("255.0.0.0"), 20);
    run("f: make object! [color: 0.0.255] g: make object! [size: 10]");
    ASSERT_EQ(draw("make image! 40x20", "anti-alias off font f pen 255.0.0 text 0x0 \"MMM\""), "");
    EXPECT_EQ(count("255.0.0.0"), 0);
    EXPECT_GT(count("0.0.255.0"), 20);
    ASSERT_EQ(draw("make image! 40x20", "anti-alias off font f font g pen 255.0.0 text 0x0 \"MMM\""), "");
    EXPECT_GT(count("255.0.0.0"), 20);
    // the text starts at its point
    ASSERT_EQ(draw("make image! 40x40", "anti-alias off pen 255.0.0 text 0x20 \"MMM\""), "");
    EXPECT_EQ(run("n: 0 i: 0 foreach p img [if all [p = 255.0.0.0 i < 800] [n: n + 1] i: i + 1] n"), "0");
    EXPECT_GT(count("255.0.0.0"), 20);
}

TEST_F(draw_test, ErrorsCarryTheBlockAtTheOffendingValue) {
    struct row {
        const char* block;
        const char* error;
        const char* args;
    } rows[] = {
        {"line 1x1", "!script/draw-invalid", "[]"},
        {"line 1x1 box 0x0 2x2", "!script/draw-invalid", "[box 0x0 2x2]"},
        {"polygon 0x0 1x1 box 0x0 2x2", "!script/draw-invalid", "[box 0x0 2x2]"},
        {"spline 1x1", "!script/draw-invalid", "[]"},
        {"circle 1x1", "!script/draw-invalid", "[]"},
        {"circle 1x1 \"r\"", "!script/draw-invalid", "[\"r\"]"},
        {"box 0x0", "!script/draw-invalid", "[]"},
        {"foo 1x1", "!script/draw-invalid", "[foo 1x1]"},
        {"10", "!script/draw-invalid", "[10]"},
        {"pen 'blue", "!script/draw-invalid", "['blue]"},
        {"pen \"blue\"", "!script/draw-invalid", "[\"blue\"]"},
        {"pen 1.2.3.4.5", "!script/draw-invalid", "[1.2.3.4.5]"},
        {"pen zz", "!script/draw-invalid", "[zz]"},
        {"line-width red", "!script/draw-invalid", "[red]"},
        {"rotate 'foo 45", "!script/draw-invalid", "['foo 45]"},
        {"matrix [1 2 3]", "!script/draw-invalid", "[[1 2 3]]"},
        {"matrix [1 2 3 4 5 x]", "!script/draw-invalid", "[[1 2 3 4 5 x]]"},
        {"font 10", "!script/draw-invalid", "[10]"},
        {"text 0x0 10", "!script/draw-invalid", "[10]"},
        {"line-pattern 1 2 anti-alias", "!script/draw-invalid", "[]"},
        {"shadow (2.0, 2.0)", "!script/draw-invalid", "[(2, 2)]"},
        {"pen linear 1.2.3", "!script/draw-invalid", "[]"},
        {"pen bitmap blk", "!script/draw-invalid", "[blk]"},
        {"image 10", "!script/draw-invalid", "[10]"},
        {"[box 0x0 1x1 bad]", "!script/draw-invalid", "[bad]"},
        // recognised, checked, and then not done yet
        {"shape [move 0x0]", "!internal/not-done", ""},
        {"clip [move 0x0] [box 0x0 1x1]", "!internal/not-done", ""},
        {"pen linear 1.2.3 4.5.6 0x0 10x0 repeat", "!internal/not-done", ""},
        {"fill-pen radial 0x0 0 10 1.2.3 4.5.6", "!internal/not-done", ""},
        {"pen pattern 4x4 [box 0x0 2x2]", "!internal/not-done", ""},
        {"pen bitmap i", "!internal/not-done", ""},
        {"image i 0x0 10x10 crop 0x0 2x2", "!internal/not-done", ""},
        {"shadow 2x2 3 0 1.2.3 inset", "!internal/not-done", ""},
        {"shadow off", "!internal/not-done", ""},
        {"line", "", ""},
        {"line-pattern", "", ""},
        {"line-join foo line-cap bar", "", ""},
        {"Box 0x0 1x1 BOX 1x1 2x2", "", ""},
    };
    run("i: make image! 2x2");
    const int depth = cycles::depth();
    for (const row& r : rows) {
        EXPECT_EQ(draw("make image! 10x10", r.block), r.error) << r.block;
        if (*r.error == '!' && std::string(r.error) != "!internal/not-done") {
            EXPECT_EQ(fired_args(), r.args) << r.block;
        }
        EXPECT_EQ(cycles::depth(), depth) << r.block;
    }
}

TEST_F(draw_test, ABlockInsideItselfIsInfiniteButOneDrawnTwiceIsNot) {
    run("b: [] append/only b b");
    EXPECT_EQ(draw("make image! 4x4", "b"), "!script/draw-invalid");
    run("img: make image! 4x4 blk: b");
    EXPECT_EQ(redraw(), "!script/draw-infinite");
    EXPECT_EQ(fired_args(), "[[...]]");
    run("c: [box 0x0 1x1] img: make image! 4x4 blk: reduce [c c]");
    EXPECT_EQ(redraw(), "");
}

TEST_F(draw_test, WhatWasDrawnBeforeAnErrorStays) {
    EXPECT_EQ(draw("make image! 10x10", "anti-alias off pen off fill-pen 255.0.0 box 0x0 5x5 push [foo]"),
              "!script/draw-invalid");
    EXPECT_EQ(at(2, 2), red);
}

std::string printed;
void keep_printed(const kel_value* value, bool) { printed += std::string(registry::type_name(type_of(value))) + " "; }
void keep_printed_text(const char*, size_t, int) {}

TEST_F(draw_test, ReportOnlyAndSilentEndQuietly) {
    printed.clear();
    dyn_print::add(keep_printed, keep_printed_text);
    EXPECT_EQ(draw("make image! 10x10", "anti-alias off pen off fill-pen 255.0.0 box 0x0 5x5 foo", true), "");
    dyn_print::remove(keep_printed, keep_printed_text);
    EXPECT_EQ(printed, "error! ");
    EXPECT_EQ(at(2, 2), red);
    run("old-view: system/view system/view: make object! [silent?: true]");
    EXPECT_EQ(draw("make image! 10x10", "anti-alias off pen off fill-pen 255.0.0 box 0x0 5x5 foo"), "");
    EXPECT_EQ(at(2, 2), red);
    run("system/view: old-view");
}

}  // namespace
}  // namespace kel::test

// Against real renderers: each case of tests/oracle/draw_shapes.py drawn
// here with anti-aliasing, compared there with rsvg-convert and pycairo.
namespace kel::test {
namespace {

std::string shell_output(const std::string& command, int& status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    status = pclose(p);
    return out;
}

TEST_F(draw_test, ShapesAgreeWithRealRenderers) {
    const std::string script = std::string("/usr/bin/python3 ") + KEL_SOURCE_DIR + "/tests/oracle/draw_shapes.py";
    int status = 0;
    const std::string list = shell_output(script + " --list", status);
    ASSERT_EQ(status, 0) << list;
    char dir_template[] = "/tmp/kel-draw-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    size_t start = 0;
    int cases = 0;
    while (start < list.size()) {
        const size_t end = list.find('\n', start);
        const std::string line = list.substr(start, end - start);
        start = end == std::string::npos ? list.size() : end + 1;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string name = line.substr(0, tab), block = line.substr(tab + 1);
        ASSERT_EQ(draw("make image! 100x100", block.c_str()), "") << name;
        const std::string png = dir + "/" + name + ".png";
        EXPECT_EQ(run(("save %" + png + " img none").c_str()), "none") << name;
        const std::string verdict = shell_output(script + " " + name + " " + png + " 2>&1", status);
        EXPECT_EQ(status, 0) << name << ": " << verdict;
        std::remove(png.c_str());
        ++cases;
    }
    EXPECT_GT(cases, 0);
    rmdir(dir.c_str());
}

}  // namespace
}  // namespace kel::test
