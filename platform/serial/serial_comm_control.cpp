#include "platform/serial/serial_comm_control.h"

namespace platform {

std::unique_ptr<CommControl> CreateSerialCommControl(PortResolver resolve, QObject *parent)
{
    return std::make_unique<DeviceCommControl>(
        std::move(resolve), [](const PortTarget &) { return CreateSystemSerialDevice(); }, parent);
}

} // namespace platform
