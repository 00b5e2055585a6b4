#include "DialogUnits.h"

#include <QFontMetricsF>
#include <QWidget>

#include <cmath>

namespace kestrel {

QFont dialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setPointSize(8);
    return font;
}

void frameGroupsAroundTitles(QWidget* dialog) {
    dialog->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0 2px; }"));
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    static const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const double average = metrics.horizontalAdvance(alphabet) / alphabet.size();
    x_ = std::round(average) / 4.0;
    y_ = std::round(metrics.height()) / 8.0;
}

QRect DialogUnits::rect(int x, int y, int width, int height) const {
    const int left = static_cast<int>(std::lround(x * x_));
    const int top = static_cast<int>(std::lround(y * y_));
    const int right = static_cast<int>(std::lround((x + width) * x_));
    const int bottom = static_cast<int>(std::lround((y + height) * y_));
    return QRect(left, top, right - left, bottom - top);
}

QSize DialogUnits::size(int width, int height) const {
    return rect(0, 0, width, height).size();
}

void DialogUnits::place(QWidget* widget, int x, int y, int width, int height) const {
    widget->setGeometry(rect(x, y, width, height));
}

} // namespace kestrel
