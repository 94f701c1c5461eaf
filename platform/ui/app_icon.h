#pragma once

#include <QIcon>

namespace platform {

// The icon that both programs and all their windows carry: a grey wrench,
// 32 x 32 pixels in 16 colours at most.
QIcon ApplicationIcon();

// Where the icon's picture lives among the resources, for a look at the pixels.
inline constexpr char ApplicationIconResource[] = ":/icons/wrench.xpm";

} // namespace platform
