#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "velmor/platform/file_copy.h"

namespace velmor::platform {

ChunkCopy CopyFileChunk(std::FILE* source, std::FILE* target, std::int64_t length, std::int64_t& copied) {
    copied = 0;
    for (;;) {
        const ssize_t moved = ::copy_file_range(::fileno(source), nullptr, ::fileno(target), nullptr,
                                                static_cast<std::size_t>(length), 0);
        if (moved >= 0) {
            copied = moved;
            return ChunkCopy::Copied;
        }
        switch (errno) {
            case EINTR:
                continue;
            // Different file systems, special files, systems without the call.
            case EXDEV:
            case EINVAL:
            case ENOSYS:
            case EOPNOTSUPP:
            case EBADF:
            case EISDIR:
                return ChunkCopy::Unsupported;
            default:
                return ChunkCopy::Failed;
        }
    }
}

}  // namespace velmor::platform
