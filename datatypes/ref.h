// ref: the ref! datatype (id 50, parent string!), a name written after "@"
// (the layout dialect and compiled layout code push them). It molds with
// the "@" and forms as the bare text. Beyond what tag! refuses it refuses
// paths, append and put: a ref is a name, not a text to grow.
#pragma once
#include "kernel/registry.h"

namespace kel::ref {

registry::registration row();

}  // namespace kel::ref
