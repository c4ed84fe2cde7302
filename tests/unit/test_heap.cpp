// The heap wrapper's live list and its dump.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kernel/heap.h"
#include "kernel/print.h"
#include "tests/unit/test_support.h"

namespace heap = kel::heap;

namespace {

// Runs `body` in a forked child whose standard output goes to a pipe, and
// returns what it printed; the child starts from the parent's heap.
template <class F>
std::string output_of_child(F body) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        kel::std_output::set_descriptor(fds[1], false);
        body();
        kel::std_output::flush();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
    return out;
}

}  // namespace

TEST(Heap, ResizeFromNullAllocatesAndToZeroFrees) {
    size_t before = heap::live_count();
    void* p = heap::resize(nullptr, 40);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(heap::live_count(), before + 1);
    EXPECT_EQ(heap::resize(p, 0), nullptr);
    EXPECT_EQ(heap::live_count(), before);
}

TEST(Heap, ResizeKeepsContentsAndListOrder) {
    size_t before = heap::live_count();
    auto* a = static_cast<char*>(heap::allocate(16));
    auto* b = static_cast<char*>(heap::allocate(16));
    auto* c = static_cast<char*>(heap::allocate(16));
    for (int i = 0; i < 16; ++i) b[i] = static_cast<char>(i);
    b = static_cast<char*>(heap::resize(b, 1 << 20));  // large enough to move
    for (int i = 0; i < 16; ++i) EXPECT_EQ(b[i], i);
    EXPECT_EQ(heap::live_count(), before + 3);
    // Freeing in any order leaves a consistent list.
    heap::free(a);
    heap::free(c);
    heap::free(b);
    EXPECT_EQ(heap::live_count(), before);
}

TEST(Heap, ByteTotalFollowsEveryChange) {
    const uint64_t before = heap::live_bytes();
    void* a = heap::allocate(100);
    void* b = heap::allocate_zeroed(28);
    EXPECT_EQ(heap::live_bytes(), before + 128);
    a = heap::resize(a, 1 << 20);  // grows and moves
    EXPECT_EQ(heap::live_bytes(), before + (1 << 20) + 28);
    a = heap::resize(a, 10);
    EXPECT_EQ(heap::live_bytes(), before + 38);
    int local = 0;
    heap::free(&local);  // not a heap block: nothing changes
    EXPECT_EQ(heap::live_bytes(), before + 38);
    heap::free(a);
    EXPECT_EQ(heap::resize(b, 0), nullptr);
    EXPECT_EQ(heap::live_bytes(), before);
}

TEST(Heap, ZeroedAndForeignAddresses) {
    auto* z = static_cast<unsigned char*>(heap::allocate_zeroed(100));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(z[i], 0);
    size_t before = heap::live_count();
    int local = 0;
    heap::free(&local);  // not a heap block: ignored
    heap::free(nullptr);
    EXPECT_EQ(heap::live_count(), before);
    heap::free(z);
}

TEST(Heap, DumpFormat) {
    std::string empty = output_of_child([] {
        heap::free_all();
        heap::dump();
    });
    EXPECT_EQ(empty, "-- Heap-allocations --\nAsked   Real\n-- Sum: 0 --\n");

    std::string two = output_of_child([] {
        heap::free_all();
        heap::allocate(10);
        heap::allocate(100);
        heap::dump();
    });
    EXPECT_EQ(two, "-- Heap-allocations --\nAsked   Real\n10\t42\n100\t132\n-- Sum: 174 --\n");
}

TEST(Heap, FreeingTheOnlyBlockEmptiesTheList) {
    std::string out = output_of_child([] {
        heap::free_all();
        void* p = heap::allocate(8);
        heap::free(p);
        std::string s = std::to_string(heap::live_count());
        kel::std_output::print_line_text(s);
    });
    EXPECT_EQ(out, "0\n");
}

TEST(TestSupport, LargeInputAndOutputDoNotDeadlock) {
    // The helper itself: 1 MB through `cat` both ways must not stall.
    std::string big(1 << 20, 'x');
    auto r = kel::test::run_process({"/bin/cat"}, {}, big);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), big.size());
}
