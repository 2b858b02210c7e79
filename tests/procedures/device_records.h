#pragma once
// What a device-server simulator recorded, read the way the reconnection and
// switching tests compare it: the frames of one command, the commands in order, the
// payload of every DATA frame. Any thread.
#include "device/wire_frames.h"
#include "tools/vorlix_sim/sim_server.h"

#include <cstdint>
#include <vector>

inline std::vector<vorlixsim::Frame> framesWith(const vorlixsim::SimServer& device, int devicePort,
                                                uint8_t command) {
    std::vector<vorlixsim::Frame> found;
    for (const auto& frame : device.framesReceived(devicePort))
        if (frame.command == command)
            found.push_back(frame);
    return found;
}

inline std::vector<uint8_t> commandsOf(const vorlixsim::SimServer& device, int devicePort) {
    std::vector<uint8_t> commands;
    for (const auto& frame : device.framesReceived(devicePort))
        commands.push_back(frame.command);
    return commands;
}

inline std::vector<uint8_t> dataReceived(const vorlixsim::SimServer& device, int devicePort) {
    std::vector<uint8_t> payload;
    for (const auto& frame : framesWith(device, devicePort, FRAME_DATA))
        payload.insert(payload.end(), frame.bytes.begin() + 4, frame.bytes.end() - 1);
    return payload;
}

// The serial settings of the last SREQ the device received, empty if none.
inline std::vector<uint8_t> lastSettings(const vorlixsim::SimServer& device, int devicePort) {
    auto sreqs = framesWith(device, devicePort, FRAME_SREQ);
    if (sreqs.empty())
        return {};
    return {sreqs.back().bytes.begin() + 2, sreqs.back().bytes.end() - 1};
}
