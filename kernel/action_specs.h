// action_specs: the spec text of each of the 62 generic actions (argument
// words with their type blocks, refinements with theirs), in action order.
// The texts are Kel source, loaded into spec blocks when the action values
// are made once the lexer exists; until then the evaluator reads two things
// from here: the word of an action's first argument (named by the error of an
// unsupported action) and the refinement slot numbers below, which are the
// positions of the refinements in these texts (a test keeps them in step).
// Slots 7 (path step), 8 and 9 (compare) have no word and no text.
#pragma once
#include <string_view>

namespace kel::action_specs {

struct spec {
    const char* word;            // "append", or null for slots 7-9
    const char* first_argument;  // "series"
    const char* text;            // "series [series! port! bitset!] value [any-type!] /part ..."
};

// The spec of action n (1-based).
const spec& of(int action);
// Refinements in the text, in order; the index of one ("/part"), -1 when absent.
int refinement_count(int action);
int refinement_index(int action, std::string_view refinement);

// Refinement slot numbers (the `refinements` index a handler reads).
namespace random_ref { enum : int { seed, secure, only }; }
namespace form_ref { enum : int { part }; }
namespace mold_ref { enum : int { only, all, flat, part }; }
namespace round_ref { enum : int { to, even, down, half_down, floor, ceiling, half_ceiling }; }
namespace append_ref { enum : int { part, only, dup }; }
namespace change_ref { enum : int { part, only, dup }; }
namespace copy_ref { enum : int { part, deep, types }; }
namespace find_ref { enum : int { part, only, case_, same, any, with, skip, last, reverse, tail, match }; }
namespace insert_ref { enum : int { part, only, dup }; }
namespace move_ref { enum : int { part }; }
namespace put_ref { enum : int { case_ }; }
namespace remove_ref { enum : int { part, key }; }
namespace reverse_ref { enum : int { part, skip }; }
namespace select_ref { enum : int { part, only, case_, same, any, with, skip, last, reverse }; }
namespace sort_ref { enum : int { case_, skip, compare, part, all, reverse, stable }; }
namespace take_ref { enum : int { part, deep, last }; }
namespace trim_ref { enum : int { head, tail, auto_, lines, all, with }; }
namespace modify_ref { enum : int { case_ }; }
namespace open_ref { enum : int { new_, read, write, seek, allow }; }
namespace read_ref { enum : int { part, seek, binary, lines, info, as }; }
namespace write_ref { enum : int { binary, lines, info, append, part, seek, allow }; }

}  // namespace kel::action_specs
