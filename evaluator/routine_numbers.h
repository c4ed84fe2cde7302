// routine_numbers: the one list of routine-table numbers. Every module that
// fills the routine table starts at its number here and keeps to the slots
// before the next module's; a module still to come takes a free run from this
// list too. The table is as long as the list (routines::table_size), and
// routines::define stops the boot when a slot is filled twice, so two runs
// that meet show at the first boot instead of losing an entry without a word.
#pragma once
#include <cstdint>

namespace kel::routine_numbers {

enum : int32_t {
    core_bound = 1,        // the library's routines bound to words, in their boot order (24)
    os_info = 12,          //   among them `__get-OS-info`, which the process services fill
    core_predicates = 25,  // the type predicates (library_routines::predicate_count)
    core_system = 87,      // collector, system/words, float flags, interpreted?, set-tracing (7)
    tests = 100,           // the unit tests' own routines (16)
    kelbin = 120,          // the kelbin codec's encode and decode
    event = 130,           // event? and find-flag?, then send-event-os
    json_unescape = 160,
    react_check = 161,
    json_decode = 162,
    json_encode = 163,
    csv_rows = 164,        // read and write
    react_index = 166,     // add-relation and unlink
    text = 170,            // behind replace/all and split (2)
    join = 178,            // behind rejoin
    preproc = 180,         // the preprocessor's two
    image_codecs = 200,    // encode and decode of each image format (image_routines::codec_count)
    line_editor = 220,     // the console's line editor (7)
    console = 240,         // the console's own (8)
    end = 257,             // one past the last slot
};

}  // namespace kel::routine_numbers
