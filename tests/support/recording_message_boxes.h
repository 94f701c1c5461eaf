#pragma once

#include "platform/ui/message_box.h"

#include <QList>
#include <QString>
#include <functional>

// Records every message instead of showing it; `onShow` may look at the
// program's state at the moment the box would be up.
class RecordingMessageBoxes final : public platform::MessageBoxes
{
public:
    struct Message
    {
        QString text;
        QString title;
        platform::MessageIcon icon;
    };

    void show(QWidget *, const QString &text, const QString &title, platform::MessageIcon icon) override
    {
        shown.append(Message{text, title, icon});
        if (onShow)
            onShow(shown.last());
    }

    QStringList titles() const
    {
        QStringList result;
        for (const Message &message : shown)
            result << message.title;
        return result;
    }

    QList<Message> shown;
    std::function<void(const Message &)> onShow;
};
