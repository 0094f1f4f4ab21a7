#ifndef MIREL_VARNO_MONITOR_POINTLIST_H
#define MIREL_VARNO_MONITOR_POINTLIST_H

#include <cstddef>
#include <mutex>
#include <vector>

#include "base/unitaddress.h"
#include "monitor/point.h"

namespace mirel_varno {

// The owning, ordered list of the points of one line. Points leave it only
// through removeAll (also run by the destructor and by assignment), which
// destroys a point only after claiming it, so a point being served
// elsewhere is never destroyed under its user.
//
// Thread safety: the array is guarded by a lock of the list, taken before
// any point's claim lock. Other threads serve points through claimAt and
// claimFound, which find and claim a point in one step, so that removeAll
// cannot destroy it in between; the holder then works on the point and
// must not touch it after its release(). The plain pointers of at and
// find are for the thread that owns the list: another thread's removeAll
// may destroy such a point at any time. Distinct lists are independent;
// assignment and destruction belong to the owning thread.
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
    size_t count() const;
    // The point at index, or nullptr when index is not below count().
    Point* at(size_t index) const;
    // The first point from the front with this address, or nullptr.
    Point* find(const UnitAddress& address) const;
    // One place towards the front; nothing for index 0 or out of range.
    void moveUp(size_t index);
    // One place towards the back; nothing for the last index or beyond.
    void moveDown(size_t index);
    // The point at index, or the first from the front with this address,
    // claimed for the caller (Point::tryClaim); nullptr when there is no
    // such point or someone else holds it.
    Point* claimAt(size_t index);
    Point* claimFound(const UnitAddress& address);
    // Claims and destroys every point. A point that someone else holds is
    // retried every 150 ms, so this does not return while any point stays
    // claimed. Returns true.
    bool removeAll();

private:
    Point* findLocked(const UnitAddress& address) const;

    std::vector<Point*> points_;
    mutable std::mutex lock_;
};

}  // namespace mirel_varno

#endif
