#pragma once

// Standard C++ only: the password encoding, which has no Qt, draws from here.
namespace platform {

// A pseudo-random value u with 0 <= u < 1, in single precision.
float RandomUnit();

} // namespace platform
