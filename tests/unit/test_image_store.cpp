// The image pixel store's lifetime and its lock, where scripts cannot look:
// the handle table's live count, collections forced between steps, the
// written flag and the lock's geometry.
#include "datatypes/image.h"
#include "kernel/collector.h"
#include "kernel/handles.h"
#include "tests/unit/eval_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct ImageStore : eval_test {};

void collect_all() {
    collector::collect();
    collector::collect();
}

}  // namespace

TEST_F(ImageStore, DroppedImagesFreeTheirBuffers) {
    run("make image! 1x1");  // the kind is registered on first use
    collect_all();
    const uint32_t before = externals::live_count();
    EXPECT_EQ(run("n: 0 loop 300 [img: make image! [40x30 1.2.3] n: n + length? img] img: none n"), "360000");
    collect_all();
    EXPECT_EQ(externals::live_count(), before);
    // Derived images (copies, channel reads, pastes) take and give back entries alike.
    EXPECT_EQ(run("a: make image! 5x5 loop 50 [b: copy/part a 3x3 change a b c: copy at a 7 d: a/rgb] "
                  "a: b: c: d: none 0"),
              "0");
    collect_all();
    EXPECT_EQ(externals::live_count(), before);
}

TEST_F(ImageStore, AnImageKeptOnlyByABlockKeepsItsPixels) {
    run("make image! 1x1");
    collect_all();
    const uint32_t before = externals::live_count();
    EXPECT_EQ(run("keep: append copy [] make image! [3x1 #{0A0B0C0D0E0F101112} #{000102}] 0"), "0");
    for (int i = 0; i < 3; ++i) {
        collect_all();
        run("loop 20 [make image! 16x16]");  // other buffers come and go around it
    }
    collect_all();
    EXPECT_EQ(externals::live_count(), before + 1);
    EXPECT_EQ(run("pick keep 1"), "make image! [3x1 #{0A0B0C0D0E0F101112} #{\n000102\n}]");
    EXPECT_EQ(run("keep: none 0"), "0");
    collect_all();
    EXPECT_EQ(externals::live_count(), before);
}

TEST_F(ImageStore, TheLockGivesPointerStrideAndMarksWrites) {
    EXPECT_EQ(run("img: make image! [3x2 1.2.3] 0"), "0");
    kel_value w = *word::from_c_string("img");
    kel_value* img = stack::push_copy(_context::get_bound(&w));
    EXPECT_FALSE(image::written_q(img));  // a fresh image has been written by nobody
    image::pixel_lock read = image::lock_pixels(img, false);
    EXPECT_EQ(read.width, 3);
    EXPECT_EQ(read.height, 2);
    EXPECT_EQ(read.stride, 12);
    EXPECT_EQ(read.pixels[5], 0xFF010203u);
    image::unlock_pixels(read);
    EXPECT_FALSE(image::written_q(img));
    EXPECT_EQ(run("poke img 6 4.5.6.255 0"), "0");
    EXPECT_TRUE(image::written_q(img));
    EXPECT_EQ(image::read_pixel(img, 5), 0x00040506u);
    image::clear_written(img);
    EXPECT_EQ(run("img/alpha: #{10} 0"), "0");
    EXPECT_TRUE(image::written_q(img));
    EXPECT_EQ(image::pixel_width(series_node(img)), 3);
    EXPECT_EQ(image::pixel_height(series_node(img)), 2);
    stack::drop_cells(1);
}

TEST_F(ImageStore, DerivedImagesFromPixelsAndScaling) {
    const uint32_t pixels[] = {0xFF000001u, 0xFF000002u, 0xDEADBEEFu, 0xFF000003u, 0xFF000004u, 0xDEADBEEFu};
    kel_value* a = stack::push_unset();
    image::from_pixels(a, pixels, 2, 2, 12);  // a stride wider than the row: the padding is skipped
    image::pixel_lock l = image::lock_pixels(a, false);
    EXPECT_EQ(l.pixels[0], 0xFF000001u);
    EXPECT_EQ(l.pixels[2], 0xFF000003u);
    EXPECT_EQ(l.pixels[3], 0xFF000004u);
    kel_value* b = stack::push_unset();
    image::scale(b, a, 4, 1);  // nearest neighbour: each source column twice, from row 0
    image::pixel_lock s = image::lock_pixels(b, false);
    EXPECT_EQ(s.pixels[0], 0xFF000001u);
    EXPECT_EQ(s.pixels[1], 0xFF000001u);
    EXPECT_EQ(s.pixels[2], 0xFF000002u);
    EXPECT_EQ(s.pixels[3], 0xFF000002u);
    stack::drop_cells(2);
}
