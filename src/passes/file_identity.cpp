#include "passes/file_identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace lagstat::passes {

bool regular_file_id(const char* path, file_id& id) noexcept {
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return true;
}

bool memory_maps_file(const void* data, std::size_t size, const file_id& id) noexcept {
    if (size == 0) return false;
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t last = first + (size - 1);
    // Lines look like "7f4ca64ba000-7f4ca64bb000 rw-s 00000000 fe:00 2146383   /tmp/w.bin".
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return false;
    bool found = false;
    char line[4096];
    while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
        std::uintmax_t begin, end, offset, inode;
        unsigned major_no, minor_no;
        char perms[8];
        if (std::sscanf(line, "%jx-%jx %7s %jx %x:%x %ju", &begin, &end, perms, &offset, &major_no,
                        &minor_no, &inode) != 7)
            continue;
        if (end <= first || begin > last || inode == 0) continue;
        found = inode == static_cast<std::uintmax_t>(id.ino) && major_no == major(id.dev) &&
                minor_no == minor(id.dev);
        // A line longer than the buffer (a very long path): skip its rest.
        while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, maps) != nullptr) {
        }
    }
    std::fclose(maps);
    return found;
}

}  // namespace lagstat::passes
