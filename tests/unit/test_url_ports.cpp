// Ports made from urls of schemes other than http: `read` and `write` of such
// a url hand the port every refinement the url was given. Only a scheme of
// C++ handlers sees them (a script actor's read is open, copy, close), so the
// scheme here is a table whose handlers record what reached them.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/object.h"
#include "datatypes/port.h"
#include "datatypes/url.h"
#include "tests/unit/test_natives_support.h"

namespace kel {
namespace {

using ntest::run;
namespace ar = action_specs;

struct seen {
    int calls = 0;
    std::string flags;  // the refinements set, by name, in spec order
    std::string port;   // the port's spec host and target, molded
    std::string value;  // write's value
};
seen got;

void record_port() {
    const kel_value port = *stack::argument(1);
    if (type_of(&port) != types::port) {
        got.port = "not a port";
        return;
    }
    const kel_value spec_word = *word::from_c_string("spec");
    const kel_value spec = *object::value_of_word(&port, &spec_word);
    const kel_value host_word = *word::from_c_string("host");
    const kel_value target_word = *word::from_c_string("target");
    got.port = test::mold(*object::value_of_word(&spec, &host_word)) + " " +
               test::mold(*object::value_of_word(&spec, &target_word));
}

signal_code native_read(const refinements& r) {
    ++got.calls;
    static const char* const names[] = {"part", "seek", "binary", "lines", "info", "as"};
    for (int i = ar::read_ref::part; i <= ar::read_ref::as; ++i)
        if (r.has(i)) got.flags += std::string(names[i]) + " ";
    if (r.has(ar::read_ref::part)) got.flags += test::mold(stack::arguments()[r.at[ar::read_ref::part]]) + " ";
    record_port();
    set_integer(stack::arguments(), 7);
    return signal_code::none;
}

signal_code native_write(const refinements& r) {
    ++got.calls;
    static const char* const names[] = {"binary", "lines", "info", "append", "part", "seek", "allow"};
    for (int i = ar::write_ref::binary; i <= ar::write_ref::allow; ++i)
        if (r.has(i)) got.flags += std::string(names[i]) + " ";
    got.value = test::mold(*stack::argument(2));
    record_port();
    set_integer(stack::arguments(), 8);
    return signal_code::none;
}

struct UrlPorts : ntest::natives_test {};

TEST_F(UrlPorts, ReadAndWriteHandTheirRefinementsToTheScheme) {
    static port::native_actor table{};
    table.handlers[act::read - 1] = native_read;
    table.handlers[act::write - 1] = native_write;
    runtime_env::boot();
    kel_value* handle = stack::push_unset();
    port::native_actor_handle(&table, handle);
    runtime_env::define("native-actor", *handle);
    stack::drop_cells(1);
    const char* const setup =
        "system/schemes: copy [] register-scheme/native make object! [name: 'nat actor: none] :native-actor ";
    struct row {
        const char* code;
        const char* result;
        const char* flags;
    };
    const row rows[] = {
        {"read nat://h/a/b.txt", "7", ""},
        {"read/lines nat://h/a/b.txt", "7", "lines "},
        {"read/binary nat://h/a/b.txt", "7", "binary "},
        {"read/binary/lines/info nat://h/a/b.txt", "7", "binary lines info "},
        {"read/part nat://h/a/b.txt 3", "7", "part 3 "},
        {"write nat://h/a/b.txt {x}", "8", ""},
        {"write/lines/append nat://h/a/b.txt {x}", "8", "lines append "},
        {"write/binary nat://h/a/b.txt {x}", "8", "binary "},
    };
    for (const row& r : rows) {
        got = {};
        EXPECT_EQ(run((std::string(setup) + r.code).c_str()), r.result) << r.code;
        EXPECT_EQ(got.calls, 1) << r.code;
        EXPECT_EQ(got.flags, r.flags) << r.code;
        EXPECT_EQ(got.port, "\"h\" %b.txt") << r.code;
    }
    EXPECT_EQ(got.value, "\"x\"");
}

// The hooks are the start-up's: no url that is not http is refused as not
// done, and an answer that is no object is the url's invalid-arg.
TEST_F(UrlPorts, HooksAreInstalled) {
    runtime_env::boot();
    EXPECT_NE(url::hooks.parse_url, nullptr);
    EXPECT_NE(url::hooks.make_port, nullptr);
    EXPECT_EQ(run("read nosuch://h"), "!access/unknown-scheme");
    EXPECT_EQ(run("read to url! {nocolon}"), "!script/invalid-arg");
    // A parser that raises: its error comes through unchanged.
    EXPECT_EQ(run("url-parser/parse-url: func [u /throw-error] [1 / 0] read ftp://h"), "!math/zero-divide");
}

}  // namespace
}  // namespace kel
