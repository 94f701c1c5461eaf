#include "platform/serial/serial_comm_control.h"

namespace platform {

std::unique_ptr<CommControl> CreateSerialCommControl(PortResolver resolve, QObject *parent)
{
    const auto makeDevice = [](const PortTarget &target) -> std::unique_ptr<SerialDevice> {
        if (target.kind == PortTarget::Kind::Network)
            return CreateNetworkSerialDevice();
        return CreateSystemSerialDevice();
    };
    return std::make_unique<DeviceCommControl>(std::move(resolve), makeDevice, parent);
}

} // namespace platform
