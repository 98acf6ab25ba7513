#pragma once

#include <QString>
#include <string_view>

namespace velmor::platform {

// The core's UTF-8 texts as Qt strings; the view need not end in a NUL.
inline QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace velmor::platform
