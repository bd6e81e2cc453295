#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>
#include <cstdint>

class QWidget;
class QCheckBox;

namespace kf {

// The window's design is in twips (1/1440 inch); at 96 dots per inch 15 make a pixel.
inline constexpr int twips(int t) {
    return t / 15;
}
QRect twipsRect(int left, int top, int width, int height);

// &HBBGGRR as the design writes colours.
QColor vbColor(std::uint32_t bgr);
std::uint32_t toVbColor(const QColor& c);

void setBackColor(QWidget* w, std::uint32_t bgr);
void setForeColor(QWidget* w, std::uint32_t bgr);
std::uint32_t backColor(const QWidget* w);
std::uint32_t foreColor(const QWidget* w);

// A check box's value: 1 ticked, 0 not ticked.
int value(const QCheckBox* box);
void setValue(QCheckBox* box, int v);

// Text_Amplify's text: "amp " and the factor without trailing zeros, in ASCII digits with the
// user's decimal separator (a locale's native digits would make "amp ١").
QString amplifyText(double factor);

// Arial in the given size; where Arial is missing the metric-compatible Liberation Sans.
QFont arialFont(double pointSize, bool bold);
void installFontSubstitutes();

}  // namespace kf
