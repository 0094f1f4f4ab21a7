#ifndef VARNO_GATEWAY_PAYLOADS_H
#define VARNO_GATEWAY_PAYLOADS_H

#include <chrono>
#include <string>
#include <vector>

#include <wx/string.h>

#include "model/algorithm.h"
#include "model/measure.h"
#include "model/pointparam.h"
#include "monitor/pointevent.h"

namespace varno_gateway {

using Clock = std::chrono::system_clock;

std::string utf8(const wxString& text);
// The texts of the bits set in the word, lowest first: the unit's own,
// else the library's built-in one, else "bit N".
std::vector<std::string> setBitTexts(uint16_t status, const mirel_varno::StatusBitTexts& texts);
// "2026-12-07T20:31:05.123Z".
std::string isoTime(Clock::time_point t);

// The JSON payloads of the point topics. Texts are UTF-8; a value that is
// not a number (NaN) is null.
std::string measurePayload(const mirel_varno::Measure& measure,
                           const mirel_varno::StatusBitTexts& texts, Clock::time_point t);
std::string statusPayload(uint16_t status, const mirel_varno::StatusBitTexts& texts,
                          int32_t state, const wxString& stateText, Clock::time_point t);
std::string paramsPayload(const std::string& name, const mirel_varno::PointParams& params,
                          const mirel_varno::AlgorithmList& algorithms, Clock::time_point t);
std::string eventPayload(const mirel_varno::PointEvent& event, int32_t state,
                         const wxString& stateText, Clock::time_point t);

// The broker topic that tells whether the gateway itself is online.
std::string gatewayAvailabilityTopic(const std::string& topicPrefix, const std::string& clientId);

// A line's own event (LINE/event): its work failed and starts again in
// `restartS` seconds.
std::string lineEventPayload(const std::string& type, const std::string& text, uint32_t restartS,
                             Clock::time_point t);

// The topics of every Home Assistant discovery document of a unit.
std::vector<std::string> discoveryTopics(const std::string& discoveryPrefix,
                                         const std::string& clientId, const std::string& line,
                                         const std::string& address);

// A Home Assistant discovery document and its topic.
struct DiscoveryTopics {
    std::string configTopic;  // PREFIX/COMPONENT/NODE/OBJECT/config
    std::string payload;
};
// A unit's documents: its measure as a sensor and its threshold bits as a
// problem binary_sensor, on the device of the unit, which names the
// gateway's device as via_device. `units` empty: none is given.
std::vector<DiscoveryTopics> discoveryPayloads(const std::string& discoveryPrefix,
                                               const std::string& topicPrefix,
                                               const std::string& clientId,
                                               const std::string& line, const std::string& address,
                                               const std::string& name, const std::string& units);
// The gateway's own device, with its broker connection as an entity.
DiscoveryTopics gatewayDiscoveryPayload(const std::string& discoveryPrefix,
                                        const std::string& topicPrefix,
                                        const std::string& clientId);

}  // namespace varno_gateway

#endif
