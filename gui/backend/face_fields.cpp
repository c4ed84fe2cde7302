// face_fields: see face_fields.h.
#include "gui/backend/face_fields.h"

#include <iterator>

namespace kel::face_fields {

namespace {

#define KEL_FIELD_ROW(object, prefix, name, text) {object, text, prefix##name},
#define KEL_FACE_ROW(name, text) KEL_FIELD_ROW("face!", FACE_OBJ_, name, text)
#define KEL_FONT_ROW(name, text) KEL_FIELD_ROW("font!", FONT_OBJ_, name, text)
#define KEL_PARA_ROW(name, text) KEL_FIELD_ROW("para!", PARA_OBJ_, name, text)
#define KEL_SCROLLER_ROW(name, text) KEL_FIELD_ROW("scroller!", SCROLLER_OBJ_, name, text)
#define KEL_VIEW_ROW(name, text) KEL_FIELD_ROW("system/view", VIEW_OBJ_, name, text)
const boot::fixed_field rows[] = {
    KEL_FACE_FIELDS(KEL_FACE_ROW) KEL_FONT_FIELDS(KEL_FONT_ROW) KEL_PARA_FIELDS(KEL_PARA_ROW)
    KEL_SCROLLER_FIELDS(KEL_SCROLLER_ROW) KEL_VIEW_FIELDS(KEL_VIEW_ROW)
};
#undef KEL_FACE_ROW
#undef KEL_FONT_ROW
#undef KEL_PARA_ROW
#undef KEL_SCROLLER_ROW
#undef KEL_VIEW_ROW
#undef KEL_FIELD_ROW

// A list that loses or gains a field shifts every index after it.
static_assert(FACE_OBJ_COUNT == 25 && FONT_OBJ_COUNT == 11 && PARA_OBJ_COUNT == 8 && SCROLLER_OBJ_COUNT == 8 &&
              VIEW_OBJ_COUNT == 16);

}  // namespace

const boot::fixed_field* fixed_rows(size_t* count) {
    *count = std::size(rows);
    return rows;
}

}  // namespace kel::face_fields
