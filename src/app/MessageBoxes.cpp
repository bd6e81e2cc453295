#include "app/MessageBoxes.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <cstdio>

namespace kf {

namespace {

QMessageBox::Icon qtIcon(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::Critical:
            return QMessageBox::Critical;
        case BoxIcon::Warning:
            return QMessageBox::Warning;
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

// The texts separate lines with carriage returns; the toolkit wants line feeds.
QString displayText(const std::string& text) {
    QString s = QString::fromStdString(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

}  // namespace

void QtMessageBoxes::show(const std::string& text, const std::string& title, BoxIcon icon) {
    const QString shown = displayText(text);
    std::fprintf(stderr, "%s%s%s\n", title.c_str(), title.empty() ? "" : ": ",
                 shown.toLocal8Bit().constData());
    std::fflush(stderr);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        return;
    }
    QMessageBox box(
        qtIcon(icon),
        title.empty() ? QGuiApplication::applicationDisplayName() : QString::fromStdString(title),
        shown, QMessageBox::Ok, parent_);
    box.exec();
}

}  // namespace kf
