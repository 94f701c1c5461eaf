#pragma once

#include <QString>

class QWidget;

namespace platform {

enum class MessageIcon { Exclamation, Stop, Information };

// A modal message box with a title, a text, an icon and one OK button. The forms
// talk to this, so that tests can record what would have been shown.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // Returns when the user has closed the box.
    virtual void show(QWidget *parent, const QString &text, const QString &title, MessageIcon icon) = 0;
};

class QtMessageBoxes final : public MessageBoxes
{
public:
    void show(QWidget *parent, const QString &text, const QString &title, MessageIcon icon) override;
};

} // namespace platform
