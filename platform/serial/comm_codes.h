#pragma once

#include <cstdint>

// Standard C++ only, so that the serial engines below the Qt layer use the
// same numbers as the control they serve.
namespace platform {

// Codes that CommEvent holds while OnComm is delivered.
namespace comm_event {
constexpr std::int16_t Receive = 2;
constexpr std::int16_t CTS = 3;
constexpr std::int16_t DSR = 4;
constexpr std::int16_t CD = 5;
constexpr std::int16_t Ring = 6;
constexpr std::int16_t Break = 1001;
constexpr std::int16_t Frame = 1004;
constexpr std::int16_t Overrun = 1006;
constexpr std::int16_t RxOver = 1008;
constexpr std::int16_t RxParity = 1009;
constexpr std::int16_t TxFull = 1010;
// Ours: the device went away (adapter unplugged, peer hung up); the port is
// already closed when this arrives.
constexpr std::int16_t DeviceLost = 2000;
} // namespace comm_event

// Numbers of the errors that the serial control raises, and the conversion
// error that Connect traps beside them.
namespace comm_error {
constexpr int Overflow = 6;              // a port number too large for 16 bits
constexpr int InvalidPropertyValue = 380;
constexpr int PortAlreadyOpen = 8000;    // a setting that needs the port closed
constexpr int InvalidPortNumber = 8002;
constexpr int PortInUse = 8005;
constexpr int CannotOpen = 8012;
constexpr int SettingsRejected = 8015;
constexpr int PortNotOpen = 8018;
constexpr int ReadFailed = 8020;
constexpr int WriteFailed = 8021;
} // namespace comm_error

// The descriptions of the errors whose text names no device.
namespace comm_text {
inline constexpr char Overflow[] = "Overflow";
inline constexpr char InvalidPropertyValue[] = "Invalid property value";
inline constexpr char PortAlreadyOpen[] = "Operation not valid while the port is opened";
inline constexpr char InvalidPortNumber[] = "Invalid port number";
inline constexpr char PortInUse[] = "Port already open";
inline constexpr char PortNotOpen[] = "Operation valid only when the port is open";
} // namespace comm_text

// A port's receive queue holds this much, as a serial driver's input queue
// does; what arrives while it is full is dropped, as on an overrun. Nothing
// reads the line while connected, so without a bound a talkative device would
// fill the memory.
inline constexpr int ReceiveQueueBytes = 4096;

// InBufferCount is a 16-bit property: a fuller buffer reads as this.
inline constexpr int MaxInBufferCount = 32767;

} // namespace platform
