#include "fontfit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>

namespace pelk {

namespace {

// QLineEdit keeps this many pixels between its contents rectangle and the
// text on either side (a fixed value inside Qt, not a style metric).
constexpr int LineEditSideMarginPx = 2;

} // namespace

// The space a control gives its text, in pixels: its rectangle less the
// frame, the margins and, for a line edit, the cursor.
QSize textRoom(const QWidget *control)
{
    QStyle *style = control->style();
    if (const auto *edit = qobject_cast<const QLineEdit *>(control)) {
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.rect = edit->rect();
        option.lineWidth = edit->hasFrame()
                ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                : 0;
        option.midLineWidth = 0;
        option.state |= QStyle::State_Sunken;
        option.features = QStyleOptionFrame::None;
        const QRect contents = style->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                                       .marginsRemoved(edit->textMargins());
        const int cursorWidth = style->pixelMetric(QStyle::PM_TextCursorWidth, &option, edit);
        return {contents.width() - 2 * LineEditSideMarginPx - cursorWidth, contents.height()};
    }
    if (const auto *button = qobject_cast<const QPushButton *>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.rect = button->rect();
        const QRect contents = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        return {contents.width() - margin, contents.height()};
    }
    if (const auto *label = qobject_cast<const QLabel *>(control)) {
        const int m = label->margin();
        return label->contentsRect().marginsRemoved(QMargins(m, m, m, m)).size();
    }
    return control->contentsRect().size();
}

// Each text measured with the font its control has now: the width it is laid
// out in, or further where a glyph reaches past its advance.
bool textsFit(const QList<ControlTexts> &controls)
{
    for (const auto &[control, texts] : controls) {
        const QSize room = textRoom(control);
        const QFontMetrics metrics(control->font(), control);
        if (metrics.height() > room.height())
            return false;
        for (const QString &text : texts) {
            const QRect ink = metrics.boundingRect(text);
            const int width = qMax(metrics.boundingRect(QRect(), Qt::TextSingleLine, text).width(),
                                   ink.x() + ink.width());
            if (width > room.width())
                return false;
        }
    }
    return true;
}

// Narrows the letters a little before giving up a size: a slightly condensed
// face reads better than a smaller one.
void chooseFittingFont(QWidget &window, const QList<ControlTexts> &controls)
{
    QFont font = window.font();
    if (font.pointSizeF() <= 0)
        return; // a font given in pixels has no point size to step down
    for (; font.pointSizeF() >= MinFontPointSize; font.setPointSizeF(font.pointSizeF() - FontStepPointSize)) {
        for (int stretch = QFont::Unstretched; stretch >= MinFontStretch; stretch -= FontStretchStep) {
            font.setStretch(stretch);
            window.setFont(font);
            if (textsFit(controls))
                return;
        }
    }
    font.setPointSizeF(MinFontPointSize);
    window.setFont(font);
}

} // namespace pelk
