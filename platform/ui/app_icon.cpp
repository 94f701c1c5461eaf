#include "platform/ui/app_icon.h"

#include <QString>

namespace platform {

QIcon ApplicationIcon()
{
    // The picture is kept as XPM text so that it can be reviewed and changed in a diff.
    return QIcon(QString::fromLatin1(ApplicationIconResource));
}

} // namespace platform
