// simple_io: see simple_io.h.
#include "services/simple_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::simple_io {

namespace {

// The largest read one series can take; past it a read would have to be cut
// short, which is never done silently.
constexpr uint64_t max_read = memory::max_capacity(1);

[[noreturn]] void cannot_open(const kel_value* file) {
    const kel_value f = *file;
    fire(error_category::access, "cannot-open", &f);
}
[[noreturn]] void no_memory() { fire(error_category::internal, "no-memory"); }
// A write that failed once the file was open: the system's reason for it
// ("No space left on device") goes with the file.
[[noreturn]] void cannot_write(const kel_value* file, int error) {
    const kel_value f = *file;
    const char* reason = std::strerror(error);
    kel_value* text = stack::push_unset();
    utf8_to_string(reinterpret_cast<const uint8_t*>(reason), std::strlen(reason), text);
    fire(error_category::access, "cannot-write", &f, text);
}

// Closes the descriptor on every way out, the raising ones included.
struct descriptor {
    int fd;
    explicit descriptor(int f) : fd(f) {}
    ~descriptor() {
        if (fd >= 0) ::close(fd);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads up to n bytes, looping over short reads; the count read (less at the
// end of the file), or -1.
int64_t read_fully(int fd, uint8_t* p, uint64_t n) {
    uint64_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd, p + done, std::min<uint64_t>(n - done, 1u << 30));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<uint64_t>(r);
    }
    return static_cast<int64_t>(done);
}

bool write_fully(int fd, const char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, p + done, std::min<size_t>(n - done, 1u << 30));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

// A refinement's number as a 64-bit count: an integer!, or a float!
// truncated when it fits; anything else raises `invalid-refine-arg`.
int64_t count_arg(const kel_value* v, const char* name, bool integer_only) {
    if (type_of(v) == types::integer) return get_integer(v);
    if (!integer_only && type_of(v) == types::float_) {
        const double d = get_float(v);
        if (std::isfinite(d) && d > -9.2e18 && d < 9.2e18) return static_cast<int64_t>(d);
    }
    const kel_value copy = *v;
    fire(error_category::script, "invalid-refine-arg", error_arg::named(name), &copy);
}

// The empty result of a read.
void empty_result(bool binary, bool lines, kel_value* result) {
    if (binary) binary::init_cell(result, 0);
    else if (lines) block::init_cell(result, 0);
    else utf8_to_string(nullptr, 0, result);
}

// The bytes already in memory become the result the read asked for.
void bytes_to_result(const uint8_t* p, size_t n, bool binary, bool lines, kel_value* result) {
    if (n > max_read) no_memory();
    if (binary) {
        binary::init_cell(result, static_cast<uint32_t>(n));
        binary::append_bytes(result, p, n);
    } else if (lines) {
        lines_to_block(p, n, result);
    } else {
        utf8_to_string(p, n, result);
    }
}

// A file whose size reads as 0 (a device, a pipe, /proc) is read to its end
// into one growing buffer, or up to `limit` bytes: a device may never end
// (/dev/urandom), so a read with /part stops once it has what it asked for.
// The buffer grows by realloc, which moves a large block by remapping its
// pages, and never past one byte more than a series takes: a device that
// never ends (/dev/zero) stops there with no-memory, its bytes untouched
// by any filling beforehand.
struct read_buffer {
    uint8_t* bytes = nullptr;
    size_t capacity = 0;
    size_t used = 0;
    ~read_buffer() { std::free(bytes); }
};

void read_to_end(int fd, const kel_value* file, uint64_t limit, read_buffer& buf) {
    limit = std::min<uint64_t>(limit, max_read + 1);
    while (buf.used < limit) {
        if (buf.capacity - buf.used < 65536) {
            const size_t grown = static_cast<size_t>(
                std::min<uint64_t>(std::max<size_t>(65536, buf.capacity * 2), max_read + 1));
            auto* p = static_cast<uint8_t*>(std::realloc(buf.bytes, grown));
            if (!p) no_memory();
            buf.bytes = p;
            buf.capacity = grown;
        }
        const size_t room = static_cast<size_t>(std::min<uint64_t>(buf.capacity - buf.used, limit - buf.used));
        const ssize_t r = ::read(fd, buf.bytes + buf.used, room);
        if (r < 0) {
            if (errno == EINTR) continue;
            cannot_open(file);
        }
        if (r == 0) return;
        buf.used += static_cast<size_t>(r);
    }
}

void read_file(const kel_value* file, int64_t part, int64_t seek, bool binary, bool lines, kel_value* result) {
    const std::string path = file::to_os_path(file);
    descriptor d(open_retrying(path.c_str(), O_RDONLY));
    if (d.fd < 0) cannot_open(file);
    struct stat st;
    if (::fstat(d.fd, &st) != 0 || S_ISDIR(st.st_mode)) cannot_open(file);
    const int64_t size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
    if (size <= 0) {
        // Past the seek position only part bytes are wanted.
        uint64_t limit = UINT64_MAX;
        if (part >= 0) {
            const uint64_t skip = seek > 0 ? static_cast<uint64_t>(seek) : 0;
            if (__builtin_add_overflow(skip, static_cast<uint64_t>(part), &limit)) limit = UINT64_MAX;
        }
        read_buffer all;
        read_to_end(d.fd, file, limit, all);
        uint64_t from = seek > 0 ? std::min<uint64_t>(static_cast<uint64_t>(seek), all.used) : 0;
        uint64_t n = all.used - from;
        if (part == 0) n = 0;
        else if (part > 0 && static_cast<uint64_t>(part) < n) n = static_cast<uint64_t>(part);
        if (n == 0) return empty_result(binary, lines, result);
        return bytes_to_result(all.bytes + from, n, binary, lines, result);
    }
    int64_t n = size;
    if (seek >= 0) {
        // A seek at or past the end leaves nothing to read.
        if (seek >= size) n = 0;
        else {
            if (::lseek(d.fd, seek, SEEK_SET) < 0) cannot_open(file);
            n = size - seek;
        }
    }
    if (part == 0) n = 0;
    else if (part > 0 && part < n) n = part;
    if (n == 0) return empty_result(binary, lines, result);
    if (static_cast<uint64_t>(n) > max_read) no_memory();
    if (binary) {
        // Straight into the series: nothing allocates while the bytes come in.
        binary::init_cell(result, static_cast<uint32_t>(n));
        memory::buffer_header* h = memory::buffer_of(series_node(result));
        const int64_t got = read_fully(d.fd, reinterpret_cast<uint8_t*>(h->tail_ptr()), static_cast<uint64_t>(n));
        if (got < 0) cannot_open(file);
        h->tail += static_cast<uint32_t>(got);
        return;
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[static_cast<size_t>(n)]);
    if (!buf) no_memory();
    const int64_t got = read_fully(d.fd, buf.get(), static_cast<uint64_t>(n));
    if (got < 0) cannot_open(file);
    ::close(d.fd);
    d.fd = -1;
    if (got == 0) return empty_result(binary, lines, result);
    bytes_to_result(buf.get(), static_cast<size_t>(got), binary, lines, result);
}

// The bytes a value writes: a string! as UTF-8 (part counting characters),
// a binary as it is (part counting bytes), anything else formed first. The
// other string types go through form too: a tag! writes its brackets.
void append_data_bytes(const kel_value* value, int64_t part, std::string& out) {
    const uint32_t t = type_of(value);
    if (t == types::binary || t == types::string) {
        const int64_t n = binary::encode_value(nullptr, value, part, false, binary::encode_mode::append);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(n));
        (void)binary::encode_value(reinterpret_cast<uint8_t*>(out.data() + at), value, part, false,
                                   binary::encode_mode::append);
        return;
    }
    kel_value* text = stack::push_unset();
    string::init_cell(text, 16);
    (void)actions::form_value(value, text, nullptr, 0x7FFFFFFF);
    append_data_bytes(text, part, out);
    stack::drop_cells(1);
}

std::string os_path_of_file(const kel_value* file) { return file::to_os_path(file); }

}  // namespace

// --- paths ----------------------------------------------------------------------------------

bool dir_path_q(const kel_value* file) {
    const kel_value f = *file;
    const int64_t length = string::ks_length_q(&f);
    if (length == 0) return false;
    const int64_t head = std::max(series_head(&f), 0);
    auto at = [&](int64_t i) { return string::ks_abs_char_at(&f, static_cast<int32_t>(head + i)); };
    if (at(length - 1) == '/') return true;
    // ".", "..", and the same after a "/"
    int64_t dots = 0;
    while (dots < length && dots < 2 && at(length - 1 - dots) == '.') ++dots;
    if (dots == 0) return false;
    return dots == length || at(length - 1 - dots) == '/';
}

// --- low level ------------------------------------------------------------------------------

bool make_dir(const std::string& os_path) { return ::mkdir(os_path.c_str(), 0777) == 0; }

bool file_exists_q(const std::string& os_path) {
    struct stat st;
    return ::stat(os_path.c_str(), &st) == 0;
}

bool remove_path(const kel_value* file) {
    const std::string path = os_path_of_file(file);
    return (dir_path_q(file) ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) == 0;
}

bool move_path(const kel_value* from, const kel_value* to) {
    if (!in_family(type_of(to), family::string_like)) return false;
    const std::string a = os_path_of_file(from);
    const std::string b = os_path_of_file(to);
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system without the no-replace rename: a link refuses an existing
    // target just as well. Directories take no link; for them the target is
    // looked at first.
    if (::link(a.c_str(), b.c_str()) == 0) {
        if (::unlink(a.c_str()) == 0) return true;
        ::unlink(b.c_str());
        return false;
    }
    if (errno != EPERM) return false;
    struct stat st;
    if (::lstat(b.c_str(), &st) == 0) return false;
    return ::rename(a.c_str(), b.c_str()) == 0;
}

void file_date(const kel_value* file, kel_value* result) {
    set_none(result);
    const std::string path = os_path_of_file(file);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    if (!path.empty() && path.back() == '/' && !S_ISDIR(st.st_mode)) return;
    struct tm tm;
    const time_t seconds = st.st_mtim.tv_sec;
    if (!::gmtime_r(&seconds, &tm)) return;
    const int64_t year = static_cast<int64_t>(tm.tm_year) + 1900;
    if (year < 0 || year > 16383) return;
    date::init_cell_hms(result, static_cast<int32_t>(year), tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        std::min(tm.tm_sec, 59), static_cast<int32_t>(st.st_mtim.tv_nsec / 1000000) * 1000000);
}

int64_t file_size(const std::string& os_path) {
    // Measured without opening: the size needs no read permission, and a
    // named pipe or a terminal is left alone.
    struct stat st;
    if (::stat(os_path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

// --- whole files ----------------------------------------------------------------------------

void read_path(const kel_value* file, const kel_value* part, const kel_value* seek, bool binary, bool lines,
               kel_value* result) {
    if (dir_path_q(file)) return read_dir(file, result);
    const int64_t p = part ? count_arg(part, "part", false) : -1;
    const int64_t s = seek ? count_arg(seek, "seek", false) : -1;
    read_file(file, p, s, binary, lines, result);
}

void read_dir(const kel_value* dir, kel_value* result) {
    const std::string path = os_path_of_file(dir);
    // (name, is a directory), sorted by the bytes of the names
    std::vector<std::pair<std::string, bool>> names;
    {
        DIR* d = ::opendir(path.empty() ? "." : path.c_str());
        if (!d) cannot_open(dir);
        const int dfd = ::dirfd(d);
        errno = 0;
        while (const dirent* e = ::readdir(d)) {
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
            bool is_dir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                struct stat st;
                is_dir = ::fstatat(dfd, n, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            names.emplace_back(n, is_dir);
            errno = 0;
        }
        const bool failed = errno != 0;
        ::closedir(d);
        if (failed) cannot_open(dir);
    }
    std::sort(names.begin(), names.end());
    for (auto& n : names)
        if (n.second) n.first.push_back('/');
    if (names.size() > 0x7FFFFFFu) no_memory();
    // Room for every name first, so adding one never grows the block while
    // the new name is held only here.
    block::init_cell(result, static_cast<int32_t>(names.size()));
    for (const auto& entry : names) {
        kel_value name;
        file::make_from_os_path(&name, entry.first.data(), entry.first.size());
        block::ks_add(result, &name);
    }
}

namespace {

// The descriptor a write goes through: truncated unless appending or
// seeking, placed at the end or at the seek position.
int open_file_for_write(const std::string& path, const kel_value* file, bool append, bool seeking, int64_t seek) {
    const int flags = O_WRONLY | O_CREAT | ((append || seeking) ? 0 : O_TRUNC);
    descriptor d(open_retrying(path.c_str(), flags, 0666));
    if (d.fd < 0) cannot_open(file);
    if (append) {
        if (::lseek(d.fd, 0, SEEK_END) < 0) cannot_open(file);
    } else if (seek > 0) {
        if (::lseek(d.fd, seek, SEEK_SET) < 0) cannot_open(file);
    }
    const int fd = d.fd;
    d.fd = -1;
    return fd;
}

// Closes a written file; a failed close (the data did not reach it) is the
// write's failure.
void close_written(descriptor& d, const kel_value* file) {
    const int fd = d.fd;
    d.fd = -1;
    if (::close(fd) != 0 && errno != EINTR) cannot_write(file, errno);
}

}  // namespace

int64_t write(const kel_value* file, const kel_value* value, const kel_value* part, const kel_value* seek,
              bool binary, bool append, bool lines) {
    (void)binary;  // text is written as UTF-8 with LF as it stands, so binary changes nothing
    int64_t p = -1;
    if (part) {
        p = count_arg(part, "part", true);
        if (p < 0) return -1;
    }
    const int64_t s = seek ? count_arg(seek, "seek", false) : -1;
    if (file && !lines && type_of(value) == types::binary) {
        // A binary goes to the file straight from its series: no copy of
        // what may be hundreds of megabytes. Nothing allocates between taking
        // the address and the write.
        const kel_value v = *value;
        const std::string path = os_path_of_file(file);
        descriptor d(open_file_for_write(path, file, append, seek != nullptr, s));
        collector::pin_guard pin(&v);
        int64_t n = binary::ks_length_q(&v);
        if (p >= 0 && p < n) n = p;
        if (!write_fully(d.fd, reinterpret_cast<const char*>(binary::ks_head(&v)), static_cast<size_t>(n)))
            cannot_write(file, errno);
        close_written(d, file);
        return n;
    }
    std::string bytes;
    // Only a block! is taken value by value: a paren!, a path or a hash! is
    // one value, formed and ended as one line.
    if (lines && type_of(value) == types::block) {
        const kel_value list = *value;
        const uint32_t node = series_node(&list);
        const int64_t head = std::max(series_head(&list), 0);
        // Read by index through the node: forming a value may move the block.
        for (int64_t i = head;; ++i) {
            memory::buffer_header* h = memory::buffer_of(node);
            if (i >= static_cast<int64_t>(h->units())) break;
            const kel_value element = reinterpret_cast<const kel_value*>(h->head_ptr())[i];
            append_data_bytes(&element, p, bytes);
            bytes.push_back('\n');
        }
    } else {
        append_data_bytes(value, p, bytes);
        if (lines) bytes.push_back('\n');
    }
    if (!file) {
        // After what print has staged, so the bytes keep their order.
        std_output::flush();
        (void)write_fully(STDOUT_FILENO, bytes.data(), bytes.size());
        return static_cast<int64_t>(bytes.size());
    }
    const std::string path = os_path_of_file(file);
    descriptor d(open_file_for_write(path, file, append, seek != nullptr, s));
    if (!write_fully(d.fd, bytes.data(), bytes.size())) cannot_write(file, errno);
    close_written(d, file);
    return static_cast<int64_t>(bytes.size());
}

// --- text conversions -------------------------------------------------------------------------

void utf8_to_string(const uint8_t* bytes, size_t length, kel_value* result) {
    if (length > max_read) no_memory();
    static const uint8_t none = 0;
    const uint32_t node = unicode::utf8_to_string(length ? bytes : &none, static_cast<uint32_t>(length), 0,
                                                  nullptr, true);
    set_series(result, types::string, 0, node);
}

void lines_to_block(const uint8_t* bytes, size_t length, kel_value* result) {
    const uint8_t* end = bytes + length;
    size_t count = 0;
    for (const uint8_t* p = bytes; p < end; ++count) {
        const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
        p = lf ? static_cast<const uint8_t*>(lf) + 1 : end;
    }
    if (count > 0x7FFFFFFu) no_memory();
    // Room for every line first, so adding one never grows the block while
    // the new string is held only here.
    block::init_cell(result, static_cast<int32_t>(count));
    static const uint8_t none = 0;
    for (const uint8_t* p = bytes; p < end;) {
        const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
        const uint8_t* stop = lf ? static_cast<const uint8_t*>(lf) : end;
        const uint8_t* next = lf ? stop + 1 : end;
        if (lf && stop > p && stop[-1] == '\r') --stop;
        // The decoder skips a leading byte-order mark, which only the file's
        // first line may lose: a U+FEFF that begins a later line is text.
        const bool kept_mark = p != bytes && stop - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF;
        const size_t n = static_cast<size_t>(stop - p);
        kel_value line;
        const uint32_t node = unicode::utf8_to_string(n ? p : &none, static_cast<uint32_t>(n), 0, nullptr, false);
        set_series(&line, types::string, 0, node);
        block::ks_add(result, &line);
        // Held by the block now, the line may grow.
        if (kept_mark) (void)string::insert_char(memory::buffer_of(node), 0, 0xFEFF);
        p = next;
    }
}

// --- the file! actions' services ------------------------------------------------------------

void install_hooks() {
    file::hooks.read_path = read_path;
    file::hooks.write = [](const kel_value* f, const kel_value* value, const kel_value* part, const kel_value* seek,
                           bool binary, bool append, bool lines) {
        (void)write(f, value, part, seek, binary, append, lines);
    };
    file::hooks.remove_path = remove_path;
    file::hooks.move_path = move_path;
    file::hooks.file_date = file_date;
}

}  // namespace kel::simple_io
