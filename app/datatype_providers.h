// datatype_providers: the registry's start-up step with the list of datatype
// modules that provide their rows (see the .cpp).
#pragma once
#include "kernel/registry.h"

namespace kel::app {

void register_datatypes();

}  // namespace kel::app
