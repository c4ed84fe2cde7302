// face_fields: the fields of the view engine's objects that native code
// reads by position: face!, font!, para!, scroller! and system/view. Each
// list below gives both the C++ constants (FACE_OBJ_TYPE, FONT_OBJ_SIZE, ...)
// and the rows the boot checks after the view phase, so a field the script
// side moves stops the boot instead of being read as another.
#pragma once
#include <cstddef>

#include "library/boot.h"

// X(constant suffix, field name), in field order.
#define KEL_FACE_FIELDS(X)                                                                                    \
    X(TYPE, "type") X(OFFSET, "offset") X(SIZE, "size") X(TEXT, "text") X(IMAGE, "image") X(COLOR, "color") \
    X(MENU, "menu") X(DATA, "data") X(ENABLED, "enabled?") X(VISIBLE, "visible?") X(SELECTED, "selected")   \
    X(FLAGS, "flags") X(OPTIONS, "options") X(PARENT, "parent") X(PANE, "pane") X(STATE, "state")           \
    X(RATE, "rate") X(EDGE, "edge") X(PARA, "para") X(FONT, "font") X(ACTORS, "actors") X(EXTRA, "extra")   \
    X(DRAW, "draw") X(ON_CHANGE, "on-change*") X(ON_DEEP_CHANGE, "on-deep-change*")

#define KEL_FONT_FIELDS(X)                                                                                     \
    X(NAME, "name") X(SIZE, "size") X(STYLE, "style") X(ANGLE, "angle") X(COLOR, "color")                     \
    X(ANTI_ALIAS, "anti-alias?") X(SHADOW, "shadow") X(STATE, "state") X(PARENT, "parent")                   \
    X(ON_CHANGE, "on-change*") X(ON_DEEP_CHANGE, "on-deep-change*")

#define KEL_PARA_FIELDS(X)                                                                                     \
    X(ORIGIN, "origin") X(PADDING, "padding") X(SCROLL, "scroll") X(ALIGN, "align") X(V_ALIGN, "v-align")     \
    X(WRAP, "wrap?") X(PARENT, "parent") X(ON_CHANGE, "on-change*")

#define KEL_SCROLLER_FIELDS(X)                                                                                 \
    X(POSITION, "position") X(PAGE_SIZE, "page-size") X(MIN_SIZE, "min-size") X(MAX_SIZE, "max-size")         \
    X(VISIBLE, "visible?") X(VERTICAL, "vertical?") X(PARENT, "parent") X(ON_CHANGE, "on-change*")

#define KEL_VIEW_FIELDS(X)                                                                                     \
    X(SCREENS, "screens") X(EVENT_PORT, "event-port") X(METRICS, "metrics") X(FONTS, "fonts")                 \
    X(PLATFORM, "platform") X(VID, "VID") X(HANDLERS, "handlers") X(EVT_NAMES, "evt-names")                   \
    X(CAPTURE_EVENTS, "capture-events") X(AWAKE, "awake") X(ON_CHANGE, "on-change*")                          \
    X(CAPTURING, "capturing?") X(AUTO_SYNC, "auto-sync?") X(DEBUG, "debug?") X(SILENT, "silent?")             \
    X(GPU, "GPU?")

namespace kel::face_fields {

#define KEL_FIELD_CONSTANT(prefix, name, text) prefix##name,
#define KEL_FACE_CONSTANT(name, text) KEL_FIELD_CONSTANT(FACE_OBJ_, name, text)
#define KEL_FONT_CONSTANT(name, text) KEL_FIELD_CONSTANT(FONT_OBJ_, name, text)
#define KEL_PARA_CONSTANT(name, text) KEL_FIELD_CONSTANT(PARA_OBJ_, name, text)
#define KEL_SCROLLER_CONSTANT(name, text) KEL_FIELD_CONSTANT(SCROLLER_OBJ_, name, text)
#define KEL_VIEW_CONSTANT(name, text) KEL_FIELD_CONSTANT(VIEW_OBJ_, name, text)
enum face_field : int { KEL_FACE_FIELDS(KEL_FACE_CONSTANT) FACE_OBJ_COUNT };
enum font_field : int { KEL_FONT_FIELDS(KEL_FONT_CONSTANT) FONT_OBJ_COUNT };
enum para_field : int { KEL_PARA_FIELDS(KEL_PARA_CONSTANT) PARA_OBJ_COUNT };
enum scroller_field : int { KEL_SCROLLER_FIELDS(KEL_SCROLLER_CONSTANT) SCROLLER_OBJ_COUNT };
enum view_field : int { KEL_VIEW_FIELDS(KEL_VIEW_CONSTANT) VIEW_OBJ_COUNT };
#undef KEL_FACE_CONSTANT
#undef KEL_FONT_CONSTANT
#undef KEL_PARA_CONSTANT
#undef KEL_SCROLLER_CONSTANT
#undef KEL_VIEW_CONSTANT
#undef KEL_FIELD_CONSTANT

// The rows of every list above, for the boot's check.
const boot::fixed_field* fixed_rows(size_t* count);

}  // namespace kel::face_fields
