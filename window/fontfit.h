#pragma once

#include <QList>
#include <QSize>
#include <QStringList>

class QWidget;

namespace pelk {

// Font fitting for a window whose controls have fixed rectangles: the layout
// was made for a small dialog font, and desktop default fonts are usually
// wider, which would clip the longer texts.

constexpr qreal MinFontPointSize = 6.0;
constexpr qreal FontStepPointSize = 0.5;
constexpr int MinFontStretch = 85; // percent of the normal width
constexpr int FontStretchStep = 5;

// A control and every text it can show.
struct ControlTexts
{
    const QWidget *control;
    QStringList texts;
};

// The space a control gives its text, in pixels: its rectangle less the
// frame, the margins and, for a line edit, the cursor.
QSize textRoom(const QWidget *control);

// Whether every text fits its control, measured with the font it has now.
bool textsFit(const QList<ControlTexts> &controls);

// Gives the window the largest font, from its own size down to
// MinFontPointSize, with which every text fits (MinFontPointSize when none
// does). The controls take the window's font.
void chooseFittingFont(QWidget &window, const QList<ControlTexts> &controls);

} // namespace pelk
