#pragma once

#include <QRect>
#include <QSize>

namespace velmor::platform {

// The rectangle of `size` in the middle of `area`; an odd remainder leaves the extra pixel on the
// right and at the bottom.
inline QRect CentredIn(const QRect& area, const QSize& size) {
    return {area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2,
            size.width(), size.height()};
}

}  // namespace velmor::platform
