// The file services' low-level calls that no script reaches yet (directory
// creation and existence, for the boot routines) and the answers of the
// calls that must never raise. Reading, writing and listing are checked
// from Kel, against Python, by tests/kel/files_io.py.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "datatypes/file.h"
#include "kernel/stack.h"
#include "kernel/value.h"
#include "services/simple_io.h"
#include "tests/unit/core_builder.h"

namespace kel {
namespace {

struct SimpleIo : ::testing::Test {
    std::string folder;
    void SetUp() override {
        test::boot();
        stack::reset();
        char name[] = "/tmp/kel-simple-io-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override {
        stack::reset();
        (void)std::system(("rm -rf '" + folder + "'").c_str());
    }
    kel_value file_v(const std::string& path) {
        return test::str(std::u32string(path.begin(), path.end()), 1, types::file);
    }
};

TEST_F(SimpleIo, MakeDirAndFileExists) {
    const std::string dir = folder + "/d";
    EXPECT_FALSE(simple_io::file_exists_q(dir));
    EXPECT_TRUE(simple_io::make_dir(dir));
    EXPECT_TRUE(simple_io::file_exists_q(dir));
    EXPECT_TRUE(simple_io::file_exists_q(dir + "/"));
    EXPECT_FALSE(simple_io::make_dir(dir));                // already there
    EXPECT_FALSE(simple_io::make_dir(folder + "/x/y"));    // a missing parent is not made
    EXPECT_FALSE(simple_io::file_exists_q(folder + "/x"));
    struct stat st;
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // A plain file exists too; a name under it does not.
    const std::string f = folder + "/f";
    FILE* fp = std::fopen(f.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    std::fclose(fp);
    EXPECT_TRUE(simple_io::file_exists_q(f));
    EXPECT_FALSE(simple_io::file_exists_q(f + "/"));
    EXPECT_FALSE(simple_io::make_dir(f));
}

TEST_F(SimpleIo, DirectoryPathsByTheirText) {
    const struct {
        const char* path;
        bool dir;
    } rows[] = {
        {"a/", true},  {"/", true},     {".", true},     {"..", true},     {"a/.", true},  {"a/..", true},
        {"a", false},  {"", false},     {"...", false},  {"a..", false},   {".a", false},  {"a/...", false},
        {"a.", false}, {"/a/b", false}, {"a/.b", false}, {"./a", false},
    };
    for (const auto& r : rows) {
        const kel_value f = file_v(r.path);
        EXPECT_EQ(simple_io::dir_path_q(&f), r.dir) << r.path;
    }
}

TEST_F(SimpleIo, LowLevelCallsAnswerWithoutRaising) {
    const kel_value missing = file_v(folder + "/missing");
    const kel_value missing_dir = file_v(folder + "/missing/");
    EXPECT_FALSE(simple_io::remove_path(&missing));
    EXPECT_FALSE(simple_io::remove_path(&missing_dir));
    EXPECT_FALSE(simple_io::move_path(&missing, &missing_dir));
    EXPECT_EQ(simple_io::file_size(folder + "/missing"), -1);
    EXPECT_EQ(simple_io::file_size(folder), -1);  // a directory has no size
    kel_value out;
    simple_io::file_date(&missing, &out);
    EXPECT_EQ(type_of(&out), types::none);
    // A directory's date is there, with or without the "/".
    const kel_value dir = file_v(folder + "/");
    simple_io::file_date(&dir, &out);
    EXPECT_EQ(type_of(&out), types::date);
}

}  // namespace
}  // namespace kel
