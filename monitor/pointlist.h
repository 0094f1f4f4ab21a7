#ifndef MIREL_VARNO_MONITOR_POINTLIST_H
#define MIREL_VARNO_MONITOR_POINTLIST_H

#include <cstddef>
#include <vector>

#include "base/unitaddress.h"
#include "monitor/point.h"

namespace mirel_varno {

// The owning, ordered list of the points of one line. Points leave it only
// through removeAll (also run by the destructor and by assignment), which
// destroys a point only after claiming it, so a point being served
// elsewhere is never destroyed under its user. The list itself is not
// locked: use it from the thread that owns it.
class PointList {
public:
    PointList() = default;
    // Fresh copies of the other list's points, in state 1.
    PointList(const PointList& other);
    // Removes this list's points (waiting for busy ones), then appends a
    // copy of each of the other's points in state 1, unclaimed, with no
    // removal request and lastLinkError NoError. Assigning a list to itself
    // leaves it unchanged.
    PointList& operator=(const PointList& other);
    // Removes every point as removeAll does.
    virtual ~PointList();

    // Appends the point and takes ownership of it; a null pointer is ignored.
    void add(Point* point);
    size_t count() const { return points_.size(); }
    // The point at index, or nullptr when index is not below count().
    Point* at(size_t index) const;
    // The first point from the front with this address, or nullptr.
    Point* find(const UnitAddress& address) const;
    // One place towards the front; nothing for index 0 or out of range.
    void moveUp(size_t index);
    // One place towards the back; nothing for the last index or beyond.
    void moveDown(size_t index);
    // Claims and destroys every point. A point that someone else holds is
    // retried every 150 ms, so this does not return while any point stays
    // claimed. Returns true.
    bool removeAll();

private:
    std::vector<Point*> points_;
};

}  // namespace mirel_varno

#endif
