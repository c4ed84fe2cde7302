// uri_list: the clipboard's file-list format, a text of `file://` URIs, one
// per line, between operating-system paths (plain byte strings) and the
// bytes other programs exchange. It knows nothing of Kel values: the
// clipboard core turns file! values into paths before and after.
//
// Writing: each path becomes "file://" and the path percent-encoded byte by
// byte, keeping only the unreserved characters (letters, digits, "-", ".",
// "_", "~") and "/"; every line ends in CR LF, as the format has it.
//
// Reading is lenient about what programs write in practice: lines may end in
// LF alone, surrounding blanks are dropped, "#" lines are comments. A line
// names a local file when its scheme is "file" (any case) and its host is
// empty, "localhost" or this machine's name ("file:/path" with no host at
// all is taken too); its path is percent-decoded, and a "%" not followed by
// two hex digits stays as it is. Other lines (remote hosts, other schemes, a
// path holding a NUL byte, which no file name can) are counted and passed over.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kel::uri_list {

// "file://" and the percent-encoded path; the path should be absolute.
std::string file_uri(std::string_view path);
// The whole list: one URI per path, each line ended by CR LF.
std::string encode(const std::vector<std::string>& paths);

struct parsed {
    std::vector<std::string> paths;  // the local files, in the list's order
    size_t other_entries = 0;        // lines that named something else
};
parsed decode(std::string_view text);

}  // namespace kel::uri_list
