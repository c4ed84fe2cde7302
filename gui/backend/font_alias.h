// font_alias: the family names scripts use for the desktop's standard faces,
// mapped onto the generic families fontconfig resolves on this desktop.
// Scripts and stored layouts name "Consolas", "Segoe UI" or "Times New
// Roman" (system/view/fonts holds them); such fonts are rarely installed
// here, and fontconfig's own fallback for an unknown name is its default
// sans face, which would turn a fixed-width console font proportional.
#pragma once

#include <string_view>

namespace kel::gui {

// The fontconfig family for `family` (compared without regard to ASCII
// case), or `family` itself when it is no alias.
std::string_view font_family_alias(std::string_view family);

}  // namespace kel::gui
