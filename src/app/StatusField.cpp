#include "StatusField.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace kestrel {

namespace {

// QLineEdit's own spacing between the frame's contents and the text.
constexpr int HorizontalMargin = 2;

} // namespace

StatusField::StatusField(QWidget* parent) : QLineEdit(parent) {
    setReadOnly(true);
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
        setToolTip(text);
        update();
    });
}

QRect StatusField::textArea() const {
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    QRect area = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
    area = area.marginsRemoved(textMargins());
    return area.adjusted(HorizontalMargin, 0, -HorizontalMargin, 0);
}

QString StatusField::shownText() const {
    // Trailing blanks (the idle activity text is all blanks) are nothing to
    // keep in view.
    QString shown = text();
    while (shown.endsWith(u' '))
        shown.chop(1);
    return fontMetrics().elidedText(shown, Qt::ElideMiddle, std::max(textArea().width(), 0));
}

void StatusField::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(textArea(), Qt::AlignVCenter | Qt::AlignLeft, shownText());
}

} // namespace kestrel
