#include <gtest/gtest.h>
#include <cstdio>
#include "tests/unit/lexer_support.h"
using namespace kel::test::lexer_support;
TEST(LexerProbe, Print) {
    FILE* f = std::fopen("/tmp/lt/cases.txt", "r");
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        std::string t(line);
        if (!t.empty() && t.back() == '\n') t.pop_back();
        // \n written as \\n in the file
        std::string u; for (size_t i = 0; i < t.size(); ++i) { if (t[i]=='\\' && i+1<t.size() && t[i+1]=='n') { u += '\n'; ++i; } else u += t[i]; }
        auto e = error_of(u);
        if (e.raised) printf("%-34s => !%s %s %s | %s | %s\n", t.c_str(), e.category.c_str(), e.id.c_str(), e.line.c_str(), e.what.c_str(), e.near.c_str());
        else printf("%-34s => %s\n", t.c_str(), shown(u).c_str());
    }
}
