// email: the email! datatype (id 45, parent string!), an address with a
// user and a host part split at the first "@" (the whole text is the user
// when there is none). It molds as its bare text (no quotes, no escapes)
// and forms as string! does. The paths `user` and `host` get a new string!
// holding a copy of the part, and set the part in the email itself, which
// keeps its identity; an integer path element is string!'s. It refuses what
// tag! refuses.
#pragma once
#include "kernel/registry.h"

namespace kel::email {

registry::registration row();

}  // namespace kel::email
