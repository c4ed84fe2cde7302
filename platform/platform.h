// platform: the thin layer over Linux that the kernel and the natives call for
// pages of memory, the current directory, the environment, sleeping and the
// clock. Strings cross it as UTF-8. Only the page calls report failure (as a
// null); the others hand back what the system said.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kel::platform {

// Committed read-write pages (read-write-execute with `executable`); null on failure.
void* allocate_pages(size_t size, bool executable = false);
// Reserved address space with no access, committed later with commit_pages.
void* reserve_pages(size_t size);
bool commit_pages(void* address, size_t size);
bool decommit_pages(void* address, size_t size);
bool free_pages(void* address, size_t size);

std::string get_current_dir();
bool set_current_dir(const std::string& path);

std::optional<std::string> get_env(const std::string& name);
bool set_env(const std::string& name, const std::string& value);
bool remove_env(const std::string& name);
// Each entry split at the first "=" after its first character (a name may
// begin with "="); an entry with no such "=" is left out.
std::vector<std::pair<std::string, std::string>> list_env();

// The one command-line text of the arguments (argv after the program): each
// argument that is empty or holds a blank, a tab or a double quote put
// between double quotes, joined by one space. `system/script/args` is built from it.
std::string command_line(int count, char* const* args);

// Writes all `size` bytes to the descriptor, again after an interrupted
// write; stops quietly at any other failure (nobody is left to tell).
// Safe in a signal handler: it only calls write(2).
void write_all(int fd, const char* bytes, size_t size);

// Sleeps seconds x 1000 milliseconds, at least 1, truncated.
void sleep(double seconds);
// The milliseconds `sleep` would wait for `seconds`.
long sleep_milliseconds(double seconds);
// The same wait cut into short slices, ending early once *stop is set
// (checked before each slice); answers true when it ended early.
bool sleep_unless(double seconds, const std::atomic<bool>* stop);

// Seconds since midnight UTC; with `precise`, with the fraction to 100 ns.
double get_time(bool precise);

// A date packed as date! values hold it: year << 17 | month << 12 | day << 7 | zone.
// The 7-bit zone: bit 6 set west of UTC, bits 2-5 whole hours, bits 0-1 quarters.
uint32_t get_date(bool utc);
uint32_t pack_zone(int offset_minutes);  // offset east of UTC in minutes
uint32_t pack_date(int year, int month, int day, uint32_t zone);

// One reading of the clock: the UTC instant and the local zone's offset at
// that instant, so that a date and a time of day built from it always
// belong together (two readings can straddle midnight).
struct clock_reading {
    int64_t seconds;      // since 1970-01-01 00:00 UTC
    int32_t nanoseconds;  // 0..999999999
    int32_t offset;       // local zone, seconds east of UTC
};
clock_reading read_clock();

}  // namespace kel::platform
