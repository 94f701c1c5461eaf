#pragma once

// Standard C++ only: the password encoding, which has no Qt, draws from here.

// A pseudo-random value u with 0 <= u < 1, in single precision.
float RandomUnit();
