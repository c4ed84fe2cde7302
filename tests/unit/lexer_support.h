// lexer_support: helpers for the lexer tests: load a text and mold the
// result, catch the syntax error a text raises (id, line, arguments), and
// run scan-only passes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/value.h"
#include "services/lexer.h"

namespace kel::test::lexer_support {

// Loads the text (load and store) into a new block kept in the root block.
kel_value load(std::string_view text);
// A description of a loaded value that does not depend on the mold of
// datatypes still to come: blocks and parens with their brackets, paths
// written with "/" (and their "'", ":" or trailing ":"), file! as %"text",
// url!/email!/ref!/tag! as type!"text", binary! as #{hex}, pair! as 1x2,
// points as (x, y[, z]), percent! as its fraction with "%" after; everything
// else molded. A value carrying the new-line marker is preceded by "|".
std::string show(const kel_value& v);
// The description of every value of a loaded text, one blank apart, or
// "error: <id>" when it raises.
std::string shown(std::string_view text);
// The molded result of loading the text, without the outer brackets; or
// "error: <id>" when it raises.
std::string molded(std::string_view text);

struct syntax_error {
    bool raised = false;
    std::string category;  // "syntax" ...
    std::string id;        // "invalid", "missing", "bad-char", "malconstruct" ...
    std::string line;      // first argument: "(line N)"
    std::string what;      // second argument molded (a datatype, a char) or the text
    std::string near;      // the text near the error
};
syntax_error error_of(std::string_view text);

// Scan-only pass: the datatype id it answers.
int32_t scan_type(std::string_view text);

}  // namespace kel::test::lexer_support
