// velmora-serial-probe N [seconds]: on Windows, runs the trainer's connect
// handshake on COM N through the Win32 engine alone, then prints the line
// events it sees, so the engine can be checked on real hardware without Qt.
#include "platform/serial/comm_codes.h"
#include "platform/serial/win32/win32_serial_port.h"
#include "protocol/tarvex_protocol.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace protocol = tarvex_protocol;

namespace {

const char *EventName(std::int16_t code)
{
    namespace e = platform::comm_event;
    switch (code) {
    case e::CTS: return "CTS changed";
    case e::DSR: return "DSR changed";
    case e::CD: return "CD changed";
    case e::Break: return "break received";
    case e::Frame: return "framing error";
    case e::Overrun: return "overrun";
    case e::RxOver: return "receive buffer overflow";
    case e::RxParity: return "parity error";
    case e::TxFull: return "transmit buffer full";
    case e::DeviceLost: return "device lost";
    default: return "other";
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: velmora-serial-probe PORT-NUMBER [SECONDS]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int seconds = argc == 3 ? std::atoi(argv[2]) : 10;
    std::mutex printing;
    const auto engine = platform::win32::CreateWin32SerialEngine();
    try {
        engine->open(port, *platform::win32::DcbFieldsFromSettings(protocol::LineSettings),
                     [&printing](std::int16_t code) {
                         const std::lock_guard<std::mutex> lock(printing);
                         std::printf("event %d: %s\n", code, EventName(code));
                         std::fflush(stdout);
                     });
        engine->read(0);
        engine->write(std::string(1, char(protocol::Probe)));
        std::this_thread::sleep_for(std::chrono::milliseconds(protocol::ProbeWaitMs));
        const std::size_t answer = engine->bytesWaiting();
        {
            const std::lock_guard<std::mutex> lock(printing);
            std::printf("COM%d: %zu byte(s) answered the probe\n", port, answer);
        }
        if (answer > 0)
            engine->write(std::string(1, char(protocol::ResetAll)));
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    } catch (const platform::win32::SerialFailure &failure) {
        std::fprintf(stderr, "COM%d: error %d: %s\n", port, failure.number, failure.description.c_str());
        return 1;
    }
    engine->close();
    return 0;
}
