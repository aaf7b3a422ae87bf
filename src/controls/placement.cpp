#include "placement.h"

#include <algorithm>
#include <array>

namespace corvane {

QRect placeBeside(const QRect& owner, const QSize& frameSize, const QRect& available) {
    const auto clampTo = [](int value, int low, int high) { return std::max(low, std::min(value, high)); };
    // The free room on each side, in order of preference.
    const std::array<QRect, 3> rooms = {
        QRect(QPoint(owner.right() + 1, available.top()), available.bottomRight()),
        QRect(available.topLeft(), QPoint(owner.left() - 1, available.bottom())),
        QRect(QPoint(available.left(), owner.bottom() + 1), available.bottomRight()),
    };
    // Right of the owner the window starts at the owner's edge, left of it ends there.
    const auto placeIn = [&](const QRect& room, QSize size, size_t side) {
        size = size.boundedTo(room.size());
        const bool below = side == 2;
        const int x = below       ? clampTo(owner.left(), room.left(), room.right() + 1 - size.width())
                      : side == 1 ? room.right() + 1 - size.width()
                                  : room.left();
        const int y = below ? room.top() : clampTo(owner.top(), room.top(), room.bottom() + 1 - size.height());
        return QRect(QPoint(x, y), size);
    };
    for (size_t i = 0; i < rooms.size(); ++i) {
        const QRect& room = rooms[i];
        if (room.width() >= frameSize.width() && room.height() >= frameSize.height())
            return placeIn(room, frameSize, i);
    }
    QRect best;
    for (size_t i = 0; i < rooms.size(); ++i) {
        if (rooms[i].width() <= 0 || rooms[i].height() <= 0) continue;
        const QRect candidate = placeIn(rooms[i], frameSize, i);
        if (qint64(candidate.width()) * candidate.height() > qint64(best.width()) * best.height()) best = candidate;
    }
    if (!best.isEmpty()) return best;
    const QSize size = frameSize.boundedTo(available.size());
    const int x = clampTo(owner.right() + 1 - size.width(), available.left(), available.right() + 1 - size.width());
    const int y = clampTo(owner.top(), available.top(), available.bottom() + 1 - size.height());
    return QRect(QPoint(x, y), size);
}

}  // namespace corvane
