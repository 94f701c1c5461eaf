#pragma once

#include "platform/serial/port_target.h"

// What COM N leads to for both programs and the tools beside them: the value
// in force in section "Ports" (the user's, else the machine's), with the files
// of section "TLS" for a bench inside TLS, read afresh at each call. A plain
// network mapping is Invalid while TLS/Required is "true" in either store.
platform::PortTarget ResolveComPort(int portNumber);
