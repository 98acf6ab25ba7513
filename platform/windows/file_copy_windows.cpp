#include "velmor/platform/file_copy.h"

namespace velmor::platform {

// Windows copies whole files in the kernel (CopyFile), not pieces of open streams: the caller
// copies through memory.
ChunkCopy CopyFileChunk(std::FILE*, std::FILE*, std::int64_t, std::int64_t& copied) {
    copied = 0;
    return ChunkCopy::Unsupported;
}

}  // namespace velmor::platform
