#include "device/device_protocol.h"

#include "device/vorlix_protocol.h"

// Every address stored today names a Vorlix device server.
ProtocolKind protocolFor(const char*) {
    return ProtocolKind::Vorlix;
}

std::shared_ptr<DeviceProtocol> makeProtocol(ProtocolKind kind) {
    switch (kind) {
    case ProtocolKind::Vorlix:
        break;
    }
    return std::make_shared<VorlixProtocol>();
}
