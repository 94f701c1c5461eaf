#include "platform/serial/serial_comm_control.h"

#include "platform/serial/posix/posix_serial_device.h"

namespace platform {

std::unique_ptr<SerialDevice> CreateSystemSerialDevice()
{
    return CreatePosixSerialDevice();
}

} // namespace platform
