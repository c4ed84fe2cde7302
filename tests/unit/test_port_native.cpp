// A port whose scheme's actor is a handle! to a table of C++ handlers: the
// dispatcher takes the port's series and port actions from that table, an
// action the table lacks is `no-port-action`, and the actions below append
// are the port's own row.
#include <gtest/gtest.h>

#include "datatypes/port.h"
#include "tests/unit/test_natives_support.h"

namespace kel {
namespace {

using ntest::run;

int cleared = 0;
signal_code native_clear(const refinements&) {
    ++cleared;
    set_integer(stack::arguments(), 42);
    return signal_code::none;
}

struct PortNative : ntest::natives_test {};

TEST_F(PortNative, HandleActorTakesItsActionsFromTheTable) {
    static port::native_actor table{};
    table.handlers[act::clear - 1] = native_clear;
    runtime_env::boot();
    // On the argument stack before anything can collect: the handle keeps
    // its table entry alive.
    kel_value* handle = stack::push_unset();
    port::native_actor_handle(&table, handle);
    runtime_env::define("native-actor", *handle);
    stack::drop_cells(1);
    cleared = 0;
    EXPECT_EQ(run("system/schemes: reduce ['nat make object! [name: 'nat actor: native-actor]] "
                  "p: make port! [scheme: 'nat] reduce [type? p/actor clear p]"),
              "[handle! 42]");
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(run("p: make port! [scheme: 'nat] take p"), "!access/no-port-action");
    EXPECT_EQ(run("p: make port! [scheme: 'nat] p/scheme"), "nat");
}

}  // namespace
}  // namespace kel
