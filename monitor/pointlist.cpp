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
    std::vector<std::unique_ptr<Point>> copies;
    {
        std::lock_guard<std::mutex> hold(other.lock_);
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
            copies.push_back(std::move(copy));
        }
    }
    for (auto& copy : copies) {
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
    std::lock_guard<std::mutex> hold(lock_);
    points_.push_back(point);
    owned.release();
}

size_t PointList::count() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return points_.size();
}

Point* PointList::at(size_t index) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return index < points_.size() ? points_[index] : nullptr;
}

Point* PointList::find(const UnitAddress& address) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return findLocked(address);
}

Point* PointList::findLocked(const UnitAddress& address) const
{
    for (Point* point : points_) {
        if (point->address() == address) {
            return point;
        }
    }
    return nullptr;
}

Point* PointList::claimAt(size_t index)
{
    std::lock_guard<std::mutex> hold(lock_);
    Point* point = index < points_.size() ? points_[index] : nullptr;
    return point != nullptr && point->tryClaim() ? point : nullptr;
}

Point* PointList::claimFound(const UnitAddress& address)
{
    std::lock_guard<std::mutex> hold(lock_);
    Point* point = findLocked(address);
    return point != nullptr && point->tryClaim() ? point : nullptr;
}

void PointList::moveUp(size_t index)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (index == 0 || index >= points_.size()) {
        return;
    }
    std::swap(points_[index - 1], points_[index]);
}

void PointList::moveDown(size_t index)
{
    std::lock_guard<std::mutex> hold(lock_);
    // Compared without index + 1, which wraps for the largest index.
    if (points_.empty() || index >= points_.size() - 1) {
        return;
    }
    std::swap(points_[index], points_[index + 1]);
}

bool PointList::removeAll()
{
    size_t index = 0;
    for (;;) {
        std::unique_ptr<Point> removed;
        bool busy = false;
        {
            // Claiming and erasing happen under the list's lock, so no
            // claimAt or claimFound can pick the point up in between.
            std::lock_guard<std::mutex> hold(lock_);
            if (points_.empty()) {
                return true;
            }
            if (index >= points_.size()) {
                index = 0;
            }
            Point* point = points_[index];
            if (point->tryClaim()) {
                point->requestRemoval();
                if (findLocked(point->address()) != nullptr) {
                    point->release();
                }
                if (point->removalRequested()) {
                    points_.erase(std::find(points_.begin(), points_.end(), point));
                    removed.reset(point);
                }
            } else {
                busy = true;
            }
            ++index;
            if (index >= points_.size()) {
                index = 0;
            }
        }
        if (busy) {
            sleepMs(BusyRetryMs);
        }
    }
}

}  // namespace mirel_varno
