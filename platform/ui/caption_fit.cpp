#include "platform/ui/caption_fit.h"

#include "platform/ui/twips.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QtMath>

#include <algorithm>
#include <functional>

namespace platform {

namespace {

// The layouts keep every control at least this far inside its container.
constexpr int MarginTwips = 120;
// Smaller sizes go down one pixel at 96 DPI at a time, as the design sizes
// are whole pixels there (8.25 points are 11 pixels, 9.75 are 13).
constexpr qreal PointStep = 0.75;
// Below this a caption is no easier to read than a clipped one.
constexpr qreal SmallestPoints = 6.0;

QStringList textsOf(const QWidget *control, const QString &current, const QList<LaterCaption> &later)
{
    QStringList texts{current};
    for (const LaterCaption &caption : later) {
        if (caption.control == control)
            texts << caption.text;
    }
    return texts;
}

// The control's own size first, then each smaller one down to the smallest.
QList<qreal> sizesFor(const QFont &font)
{
    QList<qreal> sizes{font.pointSizeF()};
    // A font set in pixels has no design size to step down from.
    if (font.pointSizeF() <= 0)
        return sizes;
    for (qreal size = font.pointSizeF() - PointStep; size >= SmallestPoints - 0.01; size -= PointStep)
        sizes << size;
    return sizes;
}

QFont atSize(QFont font, qreal points)
{
    if (points > 0)
        font.setPointSizeF(points);
    return font;
}

// Gives the control a font of its own without changing what its children show:
// each child keeps the font it has now, every property of it set.
void setOwnFont(QWidget *control, const QFont &font)
{
    if (font == control->font())
        return;
    for (QWidget *child : control->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        QFont kept = child->font();
        kept.setResolveMask(QFont::AllPropertiesResolved);
        child->setFont(kept);
    }
    control->setFont(font);
}

// The first of the sizes at which `fits` holds, else the smallest.
QFont largestFitting(const QFont &font, const std::function<bool(const QFont &)> &fits)
{
    const QList<qreal> sizes = sizesFor(font);
    for (qreal size : sizes) {
        const QFont candidate = atSize(font, size);
        if (fits(candidate))
            return candidate;
    }
    return atSize(font, sizes.last());
}

// Whether one line of text, drawn in a box `room` pixels wide as the styles
// draw captions, leaves all its ink inside the box. Drawn, not reckoned from
// the font's metrics: those are a pixel off either way in some fonts, and the
// space after a glyph such as ":" may fall outside the box, as it does in the
// layouts' own fonts.
bool lineFits(const QWidget *control, const QFont &font, const QString &text, int room, Qt::Alignment align)
{
    const qreal ratio = control->devicePixelRatioF();
    const int height = QFontMetrics(font, control).height();
    // Room beside the box for what overflows it, in steps of 4 pixels, which
    // start the box on a whole device pixel at ratios such as 1.25 and 1.5.
    const int beside = 4 * ((QFontMetrics(font, control).horizontalAdvance(text) + height) / 4 + 1);
    QImage image((QSizeF(room + 2 * beside, height) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setFont(QFont(font, control));
    painter.setPen(Qt::black);
    painter.drawText(QRect(beside, 0, room, height), int(align & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter
                                                        | Qt::TextSingleLine | Qt::TextShowMnemonic | Qt::TextDontClip,
                     text);
    painter.end();
    // Only the columns beside the box need looking at.
    const int first = qRound(beside * ratio);
    const int last = first + qRound(room * ratio);
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((x < first || x >= last) && qAlpha(line[x]) != 0)
                return false;
        }
    }
    return true;
}

// --- Labels

struct LabelText
{
    const QLabel *label;
    QStringList texts;

    // Whether every text fits a box of this width, at the label's height.
    bool fitsWidth(const QFont &font, int width) const
    {
        const QFontMetrics metrics(font, label);
        const int margin = label->margin();
        const Qt::Alignment align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
        // A framed label keeps its text off the frame on the side it is aligned to.
        int indent = label->indent();
        if (indent < 0)
            indent = label->frameWidth() > 0 ? metrics.horizontalAdvance(QLatin1Char('x')) / 2 - margin : 0;
        const QRect contents = label->contentsRect();
        int room = width - (label->width() - contents.width()) - 2 * margin;
        if (align & (Qt::AlignLeft | Qt::AlignRight))
            room -= std::max(indent, 0);
        const int height = contents.height() - 2 * margin;
        for (const QString &text : texts) {
            int needed = metrics.height();
            if (label->wordWrap()) {
                const QSize lines =
                    metrics.boundingRect(QRect(0, 0, std::max(room, 1), QWIDGETSIZE_MAX), Qt::TextWordWrap, text)
                        .size();
                if (lines.width() > room)
                    return false; // a word longer than the line
                needed = lines.height();
            } else if (!lineFits(label, font, text, room, align)) {
                return false;
            }
            // Text set at the top may lose its last line's descent below the
            // box, as the layouts do in their own fonts (two lines of 13
            // pixels in a box of 25); centred text would lose its top too.
            if (align & Qt::AlignTop)
                needed -= metrics.descent();
            if (needed > height)
                return false;
        }
        return true;
    }
};

QRect rectIn(const QWidget *widget, const QWidget *form)
{
    return widget == form ? form->rect() : QRect(widget->mapTo(form, QPoint(0, 0)), widget->size());
}

bool isAncestorOf(const QWidget *candidate, const QWidget *widget)
{
    for (const QWidget *up = widget->parentWidget(); up; up = up->parentWidget()) {
        if (up == candidate)
            return true;
    }
    return false;
}

// How far the label may reach to the left and to the right, in its parent's
// coordinates: up to the nearest control on its line on either side, and no
// nearer to the parent's edges than the margin (nor nearer than it already is).
struct Room
{
    int left;
    int right; // one past the last pixel
};

Room roomBeside(const QLabel *label, const QWidget *form)
{
    const QWidget *parent = label->parentWidget();
    const QRect box = label->geometry();
    const int margin = TwipsToPixels(MarginTwips);
    Room room{std::min(margin, box.left()), std::max(parent->width() - margin, box.left() + box.width())};

    const QPoint origin = rectIn(parent, form).topLeft();
    for (const QWidget *other : form->findChildren<QWidget *>()) {
        if (other == label || other->isHidden() || isAncestorOf(other, label) || isAncestorOf(label, other))
            continue;
        const QRect rect = rectIn(other, form).translated(-origin);
        if (rect.bottom() < box.top() || rect.top() > box.bottom())
            continue; // not on the label's line
        if (rect.left() >= box.left())
            room.right = std::min(room.right, std::max(rect.left(), box.left() + box.width()));
        if (rect.right() <= box.right())
            room.left = std::max(room.left, std::min(rect.right() + 1, box.left()));
    }
    return room;
}

// The label's box grown by `extra` pixels the way its text is aligned: to the
// left for right-aligned text, on both sides alike for centred text (which
// keeps its centre), else to the right.
QRect grownBy(const QLabel *label, int extra)
{
    const Qt::Alignment align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
    QRect box = label->geometry();
    if (align & Qt::AlignRight)
        box.setLeft(box.left() - extra);
    else if (align & Qt::AlignHCenter)
        box.adjust(-extra, 0, extra, 0);
    else
        box.setWidth(box.width() + extra);
    return box;
}

int mostExtra(const QLabel *label, const Room &room)
{
    const Qt::Alignment align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
    const int spareLeft = label->x() - room.left;
    const int spareRight = room.right - (label->x() + label->width());
    if (align & Qt::AlignRight)
        return spareLeft;
    if (align & Qt::AlignHCenter)
        return std::min(spareLeft, spareRight);
    return spareRight;
}

void fitLabel(QLabel *label, const QWidget *form, const QList<LaterCaption> &later)
{
    const LabelText text{label, textsOf(label, label->text(), later)};
    if (text.fitsWidth(label->font(), label->width()))
        return;
    const int most = mostExtra(label, roomBeside(label, form));
    // With no size fitting, the smallest in the widest box shows the most.
    QRect box = grownBy(label, most);
    const QFont fitting = largestFitting(label->font(), [&](const QFont &candidate) {
        for (int extra = 0; extra <= most; ++extra) {
            const QRect grown = grownBy(label, extra);
            if (text.fitsWidth(candidate, grown.width())) {
                box = grown;
                return true;
            }
        }
        return false;
    });
    label->setGeometry(box);
    setOwnFont(label, fitting);
}

// --- Buttons and frames, which keep their size

bool buttonFits(const QPushButton *button, const QStringList &texts, const QFont &font)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.fontMetrics = QFontMetrics(font, button);
    if (button->isDefault())
        option.features |= QStyleOptionButton::DefaultButton;
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    if (button->isFlat())
        option.features |= QStyleOptionButton::Flat;
    for (const QString &text : texts) {
        option.text = text;
        const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        if (!lineFits(button, font, text, contents.width(), Qt::AlignHCenter)
            || option.fontMetrics.height() > contents.height())
            return false;
    }
    return true;
}

bool frameFits(const QGroupBox *frame, const QStringList &texts, const QFont &font)
{
    QStyleOptionGroupBox option;
    option.initFrom(frame);
    option.fontMetrics = QFontMetrics(font, frame);
    option.textAlignment = frame->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    option.lineWidth = 1;
    for (const QString &text : texts) {
        option.text = text;
        const QRect title =
            frame->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, frame);
        // The style sizes the title to its text; it keeps off the far edge as
        // far as it is set in from the near one.
        if (title.right() > frame->width() - 1 - title.left())
            return false;
    }
    return true;
}

} // namespace

void FitCaptions(QWidget *form, const QList<LaterCaption> &later)
{
    form->ensurePolished();
    for (QWidget *control : form->findChildren<QWidget *>()) {
        control->ensurePolished();
        if (auto *label = qobject_cast<QLabel *>(control)) {
            if (!label->text().isEmpty() && label->textFormat() != Qt::RichText)
                fitLabel(label, form, later);
        } else if (auto *button = qobject_cast<QPushButton *>(control)) {
            const QStringList texts = textsOf(button, button->text(), later);
            setOwnFont(button, largestFitting(button->font(), [&](const QFont &font) {
                return buttonFits(button, texts, font);
            }));
        } else if (auto *frame = qobject_cast<QGroupBox *>(control)) {
            const QStringList texts = textsOf(frame, frame->title(), later);
            setOwnFont(frame, largestFitting(frame->font(), [&](const QFont &font) {
                return frameFits(frame, texts, font);
            }));
        }
    }
}

} // namespace platform
