// boot: the second half of start-up. After runtime::init it binds the native
// and action tables to their global words, then evaluates the script
// library's phase sources (library/*.kel, embedded at build time) in their
// fixed order, every block of them flagged as library code, and checks the
// objects whose fields C++ reads by position. The boot either succeeds or
// ends the process with "*** Boot Error: ..." on stderr and a non-zero exit
// code; it never comes back half done.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::boot {

// A field that C++ reads by position: the object's path, the field's name
// and its 0-based index.
struct fixed_field {
    const char* object;
    const char* field;
    int32_t index;
};

// What the GUI hands the boot (installed by a start-up step; a boot without
// it registers event! as a bare row and checks no view fields): event!'s
// row, and the fields of the view phase's objects that the GUI reads by
// position, whose object paths start at a global word ("face!",
// "system/view").
struct gui_hooks {
    registry::row_fn event_row = nullptr;
    const fixed_field* view_fields = nullptr;
    size_t view_field_count = 0;
};
extern gui_hooks gui;

// The boot literal pool embedded in the executable (null in programs built
// without one, which boot from source): the build boots the library from
// source once and writes it with write_pool. Set before run().
struct pool_bytes {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};
extern pool_bytes embedded_pool;

// After a boot from source: the global context's words and values, with
// everything they reach, as a boot pool (a new binary! in `out`, which the
// caller keeps rooted).
void write_pool(kel_value* out);

// Decodes a boot pool with the collector off (the literals kept in the root
// block); a pool that fails its checks stops the boot ("*** Boot Error: the
// boot pool: ..."), one without the magic ends the process with "Error: Not
// a Kelbin file!"; both with a non-zero status.
void decode_pool(const pool_bytes& pool);

// Runs the whole boot once: from the embedded pool when there is one and
// KEL_BOOT_SOURCE is not set (to anything but 0), else from source. The
// collector is active from its start; the stress check (KEL_GC_STRESS) is held back until the boot is done.
void run();
bool done_q();

// Evaluates one phase's source as library code; a raised error or a control
// signal that escapes stops the boot ("*** Boot Error: phase <name>: ...").
void run_source(const char* name, const char* source, size_t length);

// Checks the fields C++ reads by position in a system object; one missing
// or out of its order stops the boot.
void check_system(const kel_value* system);

// Checks the GUI's fixed fields (gui.view_fields) as they stand now; one
// missing or out of its order stops the boot.
void check_view_fields();

// Loads UTF-8 source text into a new block pushed on the argument stack,
// every block in it (nested ones too) carrying the library-code flag.
kel_value* load_library_source(const char* text, size_t length, const char* phase);

// The system object, a member of it ("options"), and a field of one of its
// sub-objects by name ("options", "args"); null when absent. Valid until the
// next allocation.
const kel_value* system_object();
kel_value* system_member(const char* name);
kel_value* system_field(const char* object, const char* field);

// The command-line string of the arguments (platform::command_line, the one
// place that builds it) as a new string! in `out`, decoded leniently.
void rebuild_command_line(int count, char* const* args, kel_value* out);
// Pushes a new string! of text from the system (argv), decoded leniently.
kel_value* push_os_text(const char* bytes, size_t size);

// Forms a value (an error gives "*** Script Error: ...") as UTF-8.
// Never raises; an error while forming gives a fallback text.
void form_utf8(const kel_value* value, char** text, int32_t* length);

}  // namespace kel::boot
