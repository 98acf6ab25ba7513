#pragma once

#include <cstdint>
#include <cstdio>

namespace velmor::platform {

// Result of CopyFileChunk.
enum class ChunkCopy {
    Copied,       // `copied` bytes moved; 0 means the end of the source
    Unsupported,  // the system cannot copy between these two files: copy through memory instead
    Failed,       // a read or write error
};

// Copies up to `length` bytes from the current position of `source` to that of `target` inside the
// kernel, without passing the data through user memory. Both streams must have nothing buffered
// (the source unbuffered, nothing written to the target through its buffer yet); their positions
// move on by the bytes copied.
ChunkCopy CopyFileChunk(std::FILE* source, std::FILE* target, std::int64_t length, std::int64_t& copied);

}  // namespace velmor::platform
