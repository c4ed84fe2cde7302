// tag: the tag! datatype (id 44, parent string!), markup text written
// between "<" and ">". It is a string in every respect but its text: form
// and mold both write "<", the text as string! forms it, and ">". Random,
// the math and logic actions, sort, trim and the port actions are not
// supported.
#pragma once
#include "kernel/registry.h"

namespace kel::tag {

// The actions a tag!, email! or ref! refuses although string! has them.
void refuse_non_text_actions(registry::registration& r);

registry::registration row();

}  // namespace kel::tag
