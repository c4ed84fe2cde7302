// A draw block of 10,000 commands (lines, boxes, circles and text in turn,
// at pseudo-random places) drawn onto an 800x600 image, beside
// bench/draw_commands.py (pycairo and PangoCairo doing the same drawing).
// The block text comes from the same generator as the twin's. Prints the
// best of five runs in milliseconds.
//   build/bench_draw_commands [commands]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/best_of.h"
#include "bench/boot_runtime.h"
#include "gui/backend/draw_walker.h"

namespace {

struct generator {
    uint64_t state = 1;
    int next(int range) {
        state = (state * 6364136223846793005u + 1442695040888963407u) & 0xFFFFFFFFFFFFFFFFu;
        return static_cast<int>((state >> 33) % static_cast<uint64_t>(range));
    }
};

std::string pair(int x, int y) { return std::to_string(x) + "x" + std::to_string(y); }

}  // namespace

int main(int argc, char** argv) {
    using namespace kel;
    const int commands = argc > 1 ? std::atoi(argv[1]) : 10000;
    bench::boot();
    generator g;
    std::string text = "pen 0.0.0 fill-pen 200.100.50 ";
    for (int k = 0; k < commands; ++k) {
        const int x = g.next(800), y = g.next(600), u = g.next(800), v = g.next(600), r = g.next(50) + 1;
        switch (k % 4) {
            case 0: text += "line " + pair(x, y) + " " + pair(u, v) + " "; break;
            case 1: text += "box " + pair(x, y) + " " + pair(u, v) + " "; break;
            case 2: text += "circle " + pair(x, y) + " " + std::to_string(r) + " "; break;
            default: text += "text " + pair(x, y) + " \"drawn text\" "; break;
        }
    }
    const kel_value block = bench::read(text.c_str());
    const kel_value made = bench::read("make image! 800x600");
    const error_trap trap = open_error_trap();
    if (interpreter::eval_block(&made, false) != signal_code::none) return 1;
    const kel_value image = *stack::bottom();
    bench::define("bench-image", image);
    const double ms = bench::best_of(5, [&] { gui::os_do_draw(&image, &block); });
    close_error_trap(trap, false);
    std::printf("kel draw %d commands on 800x600: %.1f ms\n", commands, ms);
    return 0;
}
