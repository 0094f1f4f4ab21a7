// Uses the installed library the way an application would.
#include <cstdio>

#include "base/error.h"
#include "model/measure.h"
#include "monitor/point.h"
#include "monitor/pointevent.h"
#include "monitor/pointlist.h"
#include "protocol/lsingle.h"
#include "protocol/serialportvarnoprotocol.h"

using namespace mirel_varno;

int main()
{
    PointList points;
    points.add(new Point(UnitAddress{1, 2, 3}));
    Point* p = points.find(UnitAddress{1, 2, 3});
    PointEvent plugged(PluggedEvent, p->address(), boost::any());
    const bool reported = p->handleEvent(plugged);
    const Measure m(0.0005f, "V", 30, 7, 0, 0);
    std::printf("%s|%s|%d|%s|%s|%.1f\n", static_cast<const char*>(p->addressText().utf8_str()),
                static_cast<const char*>(p->statusText().utf8_str()), reported ? 1 : 0,
                static_cast<const char*>(m.valueText().utf8_str()),
                static_cast<const char*>(SerialPortVarnoProtocol::unitErrorText(NoAnswer).utf8_str()),
                static_cast<double>(LSingle::fromFloat(25.0f).toFloat()));
    return 0;
}
