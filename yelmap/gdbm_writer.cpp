// Writes a gdbm map file from exact bytes, for maps whose keys and values
// keep a trailing NUL (as mail.aliases traditionally does), which makedbm
// cannot store. Usage: yelmap_gdbm_writer OUT < records, where each record is
// "<key length> <value length>\n" followed by the key and value bytes.
#include <gdbm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

struct Closer {
    void operator()(GDBM_FILE f) const noexcept { gdbm_close(f); }
};
struct Freer {
    void operator()(char *p) const noexcept { std::free(p); }
};

bool read_exact(char *to, size_t size) noexcept
{
    return std::fread(to, 1, size, stdin) == size;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT < records\n", argv[0]);
        return 2;
    }
    std::unique_ptr<gdbm_file_info, Closer> db(gdbm_open(argv[1], 0, GDBM_NEWDB, 0644, nullptr));
    if (!db) {
        std::fprintf(stderr, "%s: %s\n", argv[1], gdbm_strerror(gdbm_errno));
        return 1;
    }
    unsigned long key_size = 0, value_size = 0;
    while (std::fscanf(stdin, "%lu %lu", &key_size, &value_size) == 2 && std::fgetc(stdin) == '\n') {
        if (key_size > 1u << 20 || value_size > 1u << 20) {
            std::fprintf(stderr, "record too large\n");
            return 1;
        }
        // One byte more than asked, so an empty key or value still has a buffer.
        std::unique_ptr<char, Freer> key(static_cast<char *>(std::malloc(key_size + 1)));
        std::unique_ptr<char, Freer> value(static_cast<char *>(std::malloc(value_size + 1)));
        if (!key || !value || !read_exact(key.get(), key_size) || !read_exact(value.get(), value_size)) {
            std::fprintf(stderr, "short record\n");
            return 1;
        }
        datum k{key.get(), static_cast<int>(key_size)};
        datum v{value.get(), static_cast<int>(value_size)};
        if (gdbm_store(db.get(), k, v, GDBM_REPLACE) != 0) {
            std::fprintf(stderr, "%s: %s\n", argv[1], gdbm_strerror(gdbm_errno));
            return 1;
        }
    }
    if (!std::feof(stdin)) {
        std::fprintf(stderr, "malformed record header\n");
        return 1;
    }
    return 0;
}
