#include "monitor/pointlist.h"

#include <algorithm>
#include <memory>
#include <typeinfo>

#include "base/clock.h"

namespace mirel_varno {

namespace {

constexpr uint32_t BusyRetryMs = 150;

}  // namespace

PointList::PointList(const PointList& other)
{
    *this = other;
}

PointList& PointList::operator=(const PointList& other)
{
    // Removing first and copying after would copy from the emptied list.
    if (this == &other) {
        return *this;
    }
    removeAll();
    for (const Point* source : other.points_) {
        auto copy = std::make_unique<Point>(*source);
        copy->state_ = PluggedState;
        copy->claimed_ = false;
        copy->removalRequested_ = false;
        copy->lastLinkError_ = NoError;
        // Overrides registered by a derived class name its own members,
        // which a plain Point does not have.
        if (typeid(*source) != typeid(Point)) {
            copy->overrides_.clear();
        }
        add(copy.release());
    }
    return *this;
}

PointList::~PointList()
{
    removeAll();
}

void PointList::add(Point* point)
{
    // Owned from here on, even when the array cannot grow.
    if (point == nullptr) {
        return;  // every slot of the array must hold a point
    }
    std::unique_ptr<Point> owned(point);
    points_.push_back(point);
    owned.release();
}

Point* PointList::at(size_t index) const
{
    return index < points_.size() ? points_[index] : nullptr;
}

Point* PointList::find(const UnitAddress& address) const
{
    for (Point* point : points_) {
        if (point->address() == address) {
            return point;
        }
    }
    return nullptr;
}

void PointList::moveUp(size_t index)
{
    if (index == 0 || index >= points_.size()) {
        return;
    }
    std::swap(points_[index - 1], points_[index]);
}

void PointList::moveDown(size_t index)
{
    // Compared without index + 1, which wraps for the largest index.
    if (points_.empty() || index >= points_.size() - 1) {
        return;
    }
    std::swap(points_[index], points_[index + 1]);
}

bool PointList::removeAll()
{
    size_t index = 0;
    while (!points_.empty()) {
        Point* point = points_[index];
        if (point->tryClaim()) {
            point->requestRemoval();
            if (find(point->address()) != nullptr) {
                point->release();
            }
            if (point->removalRequested()) {
                points_.erase(std::find(points_.begin(), points_.end(), point));
                delete point;
            }
        } else {
            sleepMs(BusyRetryMs);
        }
        ++index;
        if (index >= points_.size()) {
            index = 0;
        }
    }
    return true;
}

}  // namespace mirel_varno
