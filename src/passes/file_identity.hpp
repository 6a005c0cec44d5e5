// Which file a path or a piece of memory is: so that a pass never truncates what it reads.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace lagstat::passes {

struct file_id {
    dev_t dev = 0;
    ino_t ino = 0;
};

/// The identity of path if it names an existing regular file (links followed).
bool regular_file_id(const char* path, file_id& id) noexcept;

/// True if any byte of [data, data + size) lies in a mapping of the file id (a memory-mapped
/// array, such as numpy.memmap). Reads the process's own map list; false where there is none.
bool memory_maps_file(const void* data, std::size_t size, const file_id& id) noexcept;

}  // namespace lagstat::passes
