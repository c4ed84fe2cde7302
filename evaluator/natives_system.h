// natives_system: the system and service natives. Each is a thin front end
// that checks and converts its arguments and hands over to the service that
// does the work: `size?` and `to-local-file` to the file services and the
// file! path conversion; `checksum` to the checksum routines; `compress`
// and `decompress` to the compression service; `wait`,
// `apply`, `transcode`, `as`, `stats` and `recycle` to the platform sleep,
// interpreter::invoke_value, the lexer's doors and the collector's figures. The other service natives join this
// file as their services arrive.
#pragma once
#include "kernel/registry.h"
#include "kernel/signal.h"

namespace kel::natives {

// The GUI message loop as `wait` sees it: run once, dispatching only what is
// already queued when `no_wait` is set. Null until the GUI backend installs
// it, and then `wait` just sleeps.
struct gui_hooks {
    void (*do_events)(bool no_wait) = nullptr;
};
namespace gui {
extern gui_hooks hooks;
}  // namespace gui

signal_code size_q_star(bool check, const refinements& refs);
signal_code to_local_file_star(bool check, const refinements& refs);
signal_code checksum_star(bool check, const refinements& refs);
signal_code wait_star(bool check, const refinements& refs);
signal_code apply_star(bool check, const refinements& refs);
signal_code transcode_star(bool check, const refinements& refs);
signal_code as_star(bool check, const refinements& refs);
signal_code stats_star(bool check, const refinements& refs);
signal_code recycle_star(bool check, const refinements& refs);
signal_code compress_star(bool check, const refinements& refs);
signal_code decompress_star(bool check, const refinements& refs);

}  // namespace kel::natives
