#include "platform/ui/ole_colour.h"

#include <QPalette>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace platform {

QColor ResolveOleColour(OleColour value, const QPalette &palette)
{
    if (value & SystemColourFlag) {
        const int index = static_cast<int>(value & 0xFFu);
        switch (index) {
        case SystemColourButtonFace:
            return palette.color(QPalette::Button);
        default:
            break;
        }
#ifdef Q_OS_WIN
        const DWORD rgb = GetSysColor(index);
        return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
#else
        // No system colour table here: the window colour of the palette stands in.
        return palette.color(QPalette::Window);
#endif
    }
    return QColor(static_cast<int>(value & 0xFFu), static_cast<int>((value >> 8) & 0xFFu),
                  static_cast<int>((value >> 16) & 0xFFu));
}

} // namespace platform
