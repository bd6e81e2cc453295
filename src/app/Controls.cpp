#include "app/Controls.h"

#include "app/LampLabel.h"

#include <QCheckBox>
#include <QLocale>
#include <QPalette>
#include <QWidget>

namespace kf {

QRect twipsRect(int left, int top, int width, int height) {
    return {twips(left), twips(top), twips(width), twips(height)};
}

QColor vbColor(std::uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

std::uint32_t toVbColor(const QColor& c) {
    return static_cast<std::uint32_t>(c.red()) | (static_cast<std::uint32_t>(c.green()) << 8) |
           (static_cast<std::uint32_t>(c.blue()) << 16);
}

void setBackColor(QWidget* w, std::uint32_t bgr) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, vbColor(bgr));
    p.setColor(QPalette::Button, vbColor(bgr));
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void setForeColor(QWidget* w, std::uint32_t bgr) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, vbColor(bgr));
    p.setColor(QPalette::Text, vbColor(bgr));
    p.setColor(QPalette::ButtonText, vbColor(bgr));
    w->setPalette(p);
}

std::uint32_t backColor(const QWidget* w) {
    if (const auto* lamp = qobject_cast<const LampLabel*>(w)) {
        return lamp->lampColour();
    }
    return toVbColor(w->palette().color(QPalette::Window));
}

std::uint32_t foreColor(const QWidget* w) {
    return toVbColor(w->palette().color(QPalette::WindowText));
}

int value(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

void setValue(QCheckBox* box, int v) {
    box->setChecked(v == 1);
}

QFont arialFont(double pointSize, bool bold) {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(pointSize);
    f.setBold(bold);
    return f;
}

void installFontSubstitutes() {
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
}

QString amplifyText(double factor) {
    QString number = QLocale::c().toString(factor, 'g', QLocale::FloatingPointShortest);
    number.replace(QLatin1Char('.'), QLocale().decimalPoint());
    return QStringLiteral("amp ") + number;
}

}  // namespace kf
