// Evaluation natives and function makers: do (with /next and /trace),
// reduce, compose, func, function, does, has.
#include "evaluator/interpreter.h"
#include "tests/unit/test_natives_support.h"

using namespace kel;
using namespace kel::ntest;

namespace {

struct NativesEval : natives_test {};

}  // namespace

TEST_F(NativesEval, Do) {
    const row rows[] = {
        {"do [1 + 2]", "3"},
        {"do []", "unset!"},
        {"do \"1 + 2\"", "3"},
        {"do \"\"", "unset!"},
        {"x: 5 do 'x", "5"},
        {"do 5", "5"},
        {"do none", "none"},
        {"f: does [7] do :f", "7"},
        {"do pick [(1 + 2)] 1", "3"},
        {"o: [b 5] do 'o/b", "5"},
        {"do/next [1 + 2 3] 'p", "3"},
        {"do/next [1 + 2 3] 'p p", "[3]"},
        {"do/next [] 'p", "unset!"},
        {"do/next \"4 5\" 'p p", "[5]"},
        {"do try [1 / 0]", "!math/zero-divide"},  // an error! value is raised again
        {"try [do try [1 / 0]]", "error!math/zero-divide"},
        {"do :loop", "!script/no-arg"},
        {"do/expand [1]", "1"},
        {"do to file! \"x\"", "!access/cannot-open"},  // do-file reads the missing file
        {"do 'undefined-word", "!script/no-value"},
    };
    expect_rows(rows);
}

TEST_F(NativesEval, DoTrace) {
    // A callback whose body begins with a block of event words listens to
    // those events only.
    const row rows[] = {
        {"evts: copy [] cb: func [event code offset value ref frame] [[init end] append evts event] "
         "do/trace [1 + 2] :cb evts",
         "[init end]"},
        {"evts: copy [] cb: func [event code offset value ref frame] [[throw catch] append evts event] "
         "do/trace [catch [throw 1]] :cb evts",
         "[throw catch]"},
        {"evts: copy [] cb: func [event code offset value ref frame] [[throw catch] append evts value] "
         "do/trace [catch [throw 1]] :cb evts",
         "[1 1]"},
        // The end event fires however the evaluation ends, and tracing is off
        // afterwards.
        {"evts: copy [] cb: func [event code offset value ref frame] [[init end] append evts event] "
         "try [do/trace [1 / 0] :cb] do [1] evts",
         "[init end]"},
        {"evts: copy [] cb: func [event code offset value ref frame] [[init end] append evts event] "
         "f: func [] [do/trace [return 4] :cb 5] reduce [f evts]",
         "[4 [init end]]"},
        {"evts: copy [] cb: func [event code offset value ref frame] [[end] append evts event] "
         "loop 3 [do/trace [break] :cb] evts",
         "[end]"},
        {"do/trace [1 + 2] :cb", "3"},
        // A trace already running is not replaced.
        {"evts: copy [] cb: func [event code offset value ref frame] [[init end] append evts event] "
         "cb2: func [event code offset value ref frame] [[init end] append evts 'other] "
         "do/trace [do/trace [1] :cb2] :cb evts",
         "[init end]"},
    };
    expect_rows(rows);
    EXPECT_FALSE(interpreter::trace.active);
}

TEST_F(NativesEval, Reduce) {
    const row rows[] = {
        {"reduce [1 + 2 3 * 4]", "[3 12]"},
        {"reduce []", "[]"},
        {"x: 4 reduce [x 'x (x + 1)]", "[4 x 5]"},
        {"reduce [[1 + 2]]", "[[1 + 2]]"},
        {"x: 3 reduce 'x", "3"},
        {"reduce 5", "5"},
        {"do reduce [:loop 2 [7]]", "7"},
        {"n: 0 f: does [n: n + 1] g: reduce :f n", "0"},  // a function is returned, not called
        {"f: does [5] g: reduce :f g", "5"},
        {"o: copy [] reduce/into [1 2] o", "[1 2]"},
        {"o: [a] reduce/into [1 2] o", "[1 2 a]"},  // inserted at the position of out
        {"o: next [a b] reduce/into [1 2] o head o", "[a 1 2 b]"},
        {"o: next [a b] reduce/into [1 2] o", "[1 2 b]"},
        {"o: [a] reduce/into [[1 2]] tail o o", "[a [1 2]]"},  // a block goes in as one value
        {"x: 3 reduce/into 'x o: copy [] o", "[3]"},
        {"o: copy [] reduce/into [1 2 1 / 0] o", "!math/zero-divide"},
        {"reduce [1 ()]", "[1 unset]"},
        {"reduce [1\n2]", "[1 2]"},  // the results carry no line breaks
        {"compose [1\n2]", "[1\n2]"},  // compose copies the values as they are
    };
    expect_rows(rows);
}

TEST_F(NativesEval, Compose) {
    const row rows[] = {
        {"compose [a (1 + 2) ([b c]) ()]", "[a 3 b c]"},
        {"compose []", "[]"},
        {"compose [(())]", "[]"},  // unset! adds nothing
        {"compose [a ([])]", "[a]"},
        {"compose/only [a ([])]", "[a []]"},
        {"compose/only [a ([b c])]", "[a [b c]]"},
        {"compose [a [(1 + 2)]]", "[a [(1 + 2)]]"},
        {"compose/deep [a [(1 + 2) [(3 * 4)]]]", "[a [3 [12]]]"},
        {"compose/deep/only [[([x])]]", "[[[x]]]"},
        {"compose [(none) (false)]", "[none false]"},
        {"x: [1 2] compose [(x) x]", "[1 2 x]"},
        {"b: [a (1)] c: compose b b", "[a (1)]"},  // the source is not changed
        {"o: [z] compose/into [a (1 + 1)] o", "[a 2 z]"},
        {"o: [z] compose/into [a (1 + 1)] tail o o", "[z a 2]"},
        {"compose [(1 / 0)]", "!math/zero-divide"},
    };
    expect_rows(rows);
}

TEST_F(NativesEval, FunctionMakers) {
    const row rows[] = {
        {"f: func [a] [a * 2] f 4", "8"},
        {"f: func [a b] [a - b] f 10 3", "7"},
        {"f: func [a /twice] [either twice [a * 2] [a]] reduce [f 3 f/twice 3]", "[3 6]"},
        {"f: func [a [integer!]] [a] f \"x\"", "!script/expect-arg"},
        {"b: 1 f: func [a] [b: a] f 4 b", "4"},
        {"b: 1 f: function [a] [b: a * 2 b] reduce [f 4 b]", "[8 1]"},
        {"b: 1 f: function [a] [foreach b [1 2] [] b] reduce [f 4 b]", "[2 1]"},
        {"b: 0 f: function [/extern b] [b: 5] f b", "5"},
        {"f: does [7] f", "7"},
        {"x: 1 f: does [x: x + 1] f f x", "3"},
        {"x: 0 f: has [x] [x: 3 x] reduce [f x]", "[3 0]"},
        {"f: has [] [9] f", "9"},
        {"func [a a] []", "!script/dup-vars"},
        {"func [1] []", "!script/bad-func-def"},
        {"function [a: 1] []", "!script/bad-func-def"},
        {"has [1] []", "!script/bad-func-def"},
        {"s: [a] f: func s [a] s: [b] f 4", "4"},
    };
    expect_rows(rows);
}
