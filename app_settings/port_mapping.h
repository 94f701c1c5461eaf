#pragma once

#include "platform/serial/port_target.h"

// What COM N leads to for both programs and the tools beside them: the value
// the settings store maps it to in section "Ports", read afresh at each call.
platform::PortTarget ResolveComPort(int portNumber);
