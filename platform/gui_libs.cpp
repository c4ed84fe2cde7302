// gui_libs: see gui_libs.h.
#include "platform/gui_libs.h"

#include <string>

#include "platform/dynlib.h"

namespace kel::platform::gui_libs {

namespace {

enum class state { untried, bound, failed };

std::string failure_text;

// Binds every slot from `library`; on the first missing function records it
// and answers false.
bool bind_all(void* library, void** slots, const char* const* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        slots[i] = dynlib::symbol(library, names[i]);
        if (!slots[i]) {
            failure_text = std::string("missing function ") + names[i];
            return false;
        }
    }
    return true;
}

// The tables are arrays of function pointers laid out as their lists; a
// pointer of one function type is stored through void* as dlsym hands it.
template <class Table>
const Table* open_table(state& st, Table& table, const char* const* sonames, const char* const* names,
                        size_t count) {
    if (st == state::bound) return &table;
    if (st == state::failed) return nullptr;
    static_assert(sizeof(void*) == sizeof(void (*)()));
    void* library = dynlib::open(sonames);
    if (!library) {
        failure_text = std::string("cannot open ") + sonames[0];
    } else if (bind_all(library, reinterpret_cast<void**>(&table), names, count)) {
        st = state::bound;
        return &table;
    }
    st = state::failed;
    return nullptr;
}

#define KEL_GUI_LIBS_NAME(name) #name,
const char* const text_names[] = {KEL_TEXT_FUNCTIONS(KEL_GUI_LIBS_NAME)};
const char* const gtk_names[] = {KEL_GTK_FUNCTIONS(KEL_GUI_LIBS_NAME)};
#undef KEL_GUI_LIBS_NAME
static_assert(sizeof(text_table) == sizeof(text_names));
static_assert(sizeof(gtk_table) == sizeof(gtk_names));

// PangoCairo needs Pango, cairo, GLib and GObject: symbols are looked up
// through its own dependencies, so one handle serves the whole table.
const char* const text_sonames[] = {"libpangocairo-1.0.so.0", nullptr};
const char* const gtk_sonames[] = {"libgtk-3.so.0", nullptr};

text_table text_bound;
gtk_table gtk_bound;
state text_state = state::untried;
state gtk_state = state::untried;

}  // namespace

const text_table* text() {
    return open_table(text_state, text_bound, text_sonames, text_names, std::size(text_names));
}

const gtk_table* gtk() {
    if (!text()) return nullptr;
    return open_table(gtk_state, gtk_bound, gtk_sonames, gtk_names, std::size(gtk_names));
}

const char* failure() { return failure_text.c_str(); }

}  // namespace kel::platform::gui_libs
