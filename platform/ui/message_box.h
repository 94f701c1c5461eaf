#pragma once

#include <QString>

class QFontMetrics;
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

// `title` as a title bar `width` pixels wide shows it in `metrics`: whole when
// it fits, else cut after its last word that fits, with an ellipsis, so that
// the first words (which carry the reason) are the ones seen.
QString TitleThatFits(const QString &title, const QFontMetrics &metrics, int width);

class QtMessageBoxes final : public MessageBoxes
{
public:
    void show(QWidget *parent, const QString &text, const QString &title, MessageIcon icon) override;
};

} // namespace platform
