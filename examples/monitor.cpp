// A small monitoring application on the Varno library: it scans the line,
// reads every point's parameters and algorithms, polls the measures, turns
// each outcome into a PointEvent, feeds it to its point and prints the
// event and the point's status with a time stamp.
//
//   varno_monitor <device> [rounds] [pause ms]
//
// <device> is a serial device (COM1 is /dev/ttyS0, or a link named COM1 in
// the current directory) or a network line (tcp://HOST:PORT for a raw
// device server, rfc2217://HOST:PORT for a Telnet one such as ser2net).
// Each round polls every point once.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <wx/init.h>

#include "model/measure.h"
#include "model/pointparam.h"
#include "monitor/point.h"
#include "monitor/pointevent.h"
#include "monitor/pointlist.h"
#include "protocol/serialportvarnoprotocol.h"
#include "base/clock.h"

using namespace mirel_varno;

namespace {

void printLine(const wxString& text)
{
    std::printf("%s\n", text.utf8_str().data());
    std::fflush(stdout);
}

// Feeds the event to its point and prints what happened.
void deliver(Point& point, PointEvent event)
{
    const bool reported = point.handleEvent(event);
    printLine(wxString::Format("%s %s %-28s | %s%s", event.time().Format("%H:%M:%S"),
                               point.addressText(), event.text(), point.statusText(),
                               reported ? "" : " (no change)"));
}

// The event that stands for a failed exchange.
PointEvent failureEvent(const Point& point, const Exception& failure)
{
    switch (failure.code()) {
    case NoAnswer:
    case NotAllDataReceived:
        return PointEvent(NoAnswerEvent, point.address(), failure.code());
    case WriteError:
        return PointEvent(WriteErrorEvent, point.address(), failure.code());
    case SerialPortError:
        return PointEvent(SerialPortErrorEvent, point.address(), boost::any());
    case UnknownVariable:
        return PointEvent(UnknownVariableEvent, point.address(), boost::any());
    default:
        return PointEvent(ReadErrorEvent, point.address(), failure.code());
    }
}

// The event for a measure, by the alarm bits of its status word.
PointEventType measureEventType(const Measure& measure, bool first)
{
    const MeasureStatus status = measure.measureStatus();
    if (status.thresholdExceeded()) {
        return ThresholdExceededEvent;
    }
    if (status.prethresholdExceeded()) {
        return PrethresholdExceededEvent;
    }
    if (status.thresholdReduced()) {
        return ThresholdReducedEvent;
    }
    return first ? InitialMeasureEvent : MeasureEvent;
}

// Reads what the point asks for next: parameters, algorithms or a measure.
void serve(SerialPortVarnoProtocol& line, Point& point)
{
    const UnitAddress address = point.address();
    try {
        switch (point.nextRequest()) {
        case 1:  // just found: announce it
            deliver(point, PointEvent(PluggedEvent, address, boost::any()));
            break;
        case 4: {  // (re)read the parameters
            PointParams params;
            line.readPointParams(address, params);
            deliver(point, PointEvent(ParamsReadEvent, address, params));
            break;
        }
        case 5: {
            AlgorithmList algorithms;
            line.readAlgorithms(address, algorithms);
            deliver(point, PointEvent(AlgorithmsReadEvent, address, algorithms));
            break;
        }
        default: {  // measuring
            float value = 0.0f;
            uint32_t time = 0;
            uint8_t accuracy = 0;
            uint16_t status = 0;
            line.readMeasure(address, -1, value, time, accuracy);
            line.readStatus(address, status);
            const int32_t current = point.pointParams().measuringAlgorithm();
            const AlgorithmList algorithms = point.algorithms();
            const wxString units = current >= 0 && current < point.algorithmCount()
                                       ? algorithms[static_cast<size_t>(current)].secondText
                                       : wxString();
            const Measure measure(value, units, time, accuracy, current, status);
            const bool first = !point.measure().hasValue();
            deliver(point, PointEvent(measureEventType(measure, first), address, measure));
            break;
        }
        }
    } catch (const Exception& failure) {
        deliver(point, failureEvent(point, failure));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "Usage: varno_monitor <device> [rounds] [pause ms]\n");
        return 1;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int pauseMs = argc > 3 ? std::atoi(argv[3]) : 500;

    wxInitializer wx;
    if (!wx.IsOk()) {
        std::fprintf(stderr, "varno_monitor: cannot initialise wxWidgets\n");
        return 1;
    }
    SerialPortVarnoProtocol line(argv[1]);
    if (!line.isOpen()) {
        std::fprintf(stderr, "varno_monitor: cannot open %s: %s\n", argv[1],
                     line.openFailure().c_str());
        return 2;
    }

    printLine(wxString::Format("%s scanning the line (about 9 s)",
                               wxDateTime::Now().Format("%H:%M:%S")));
    PointList points;
    line.scanNetwork(points);
    printLine(wxString::Format("%s found %zu point(s)", wxDateTime::Now().Format("%H:%M:%S"),
                               points.count()));

    // Plugged, parameters, algorithms, then the measure rounds: every
    // point follows its own next request.
    const int steps = 3 + (rounds > 0 ? rounds : 0);
    for (int step = 0; step < steps; ++step) {
        for (size_t i = 0; i < points.count(); ++i) {
            Point* point = points.at(i);
            if (point->tryClaim()) {
                serve(line, *point);
                point->release();
            }
        }
        if (step >= 3 && pauseMs > 0) {
            sleepMs(static_cast<uint32_t>(pauseMs));
        }
    }

    for (size_t i = 0; i < points.count(); ++i) {
        const Point* point = points.at(i);
        printLine(wxString::Format("%s %s \"%s\" %s", wxDateTime::Now().Format("%H:%M:%S"),
                                   point->addressText(), point->text27(), point->statusText()));
    }
    return 0;
}
