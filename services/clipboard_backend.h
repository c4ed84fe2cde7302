// clipboard_backend: what the clipboard core needs from a clipboard, and the
// choice of the one the routines use.
//
// A backend does two things: take a list of (format, bytes) pairs as the
// clipboard's whole content, becoming its owner, and answer the bytes of one
// format. Formats are the names the desktop uses ("UTF8_STRING",
// "text/uri-list", "image/png", ...); the core does every conversion.
//
// Two backends exist. The in-process one keeps the last offer for the life
// of the process; it serves tests and is chosen only by the environment
// variable KEL_TEST_CLIPBOARD=memory, read once at the first clipboard use,
// so it never stands in for the display's clipboard without being asked: a
// write no other program can see is not reported as success. The display's
// backend comes from an opener the GUI installs at start-up; it answers null
// when no display can be opened, and then there is no clipboard at all.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel::clipboard {

struct format_bytes {
    std::string format;
    std::string bytes;
};
using offer_list = std::vector<format_bytes>;

enum class fetch_result : uint8_t {
    found,   // `bytes` holds the format's data
    absent,  // the clipboard holds no data in this format
    failed,  // the clipboard could not be asked, or the data could not be had
};

class backend {
public:
    virtual ~backend() = default;
    // Replaces the clipboard's content by these formats (an empty list
    // empties it) and takes ownership of it. False when it was not taken.
    virtual bool offer(offer_list formats) = 0;
    virtual fetch_result fetch(std::string_view format, std::string* bytes) = 0;
};

// The in-process clipboard.
class memory_backend final : public backend {
public:
    bool offer(offer_list formats) override;
    fetch_result fetch(std::string_view format, std::string* bytes) override;

private:
    offer_list held_;
};

// Answers the display's clipboard, or null when no display can be opened.
// Called at each clipboard use, so it may open the display lazily.
using system_opener = backend* (*)();
// Start-up step of the GUI; until it runs there is no display's clipboard.
void install_system_opener(system_opener open);

// The backend the clipboard routines use now, or null when there is none.
backend* current();

}  // namespace kel::clipboard
