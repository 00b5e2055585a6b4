#pragma once
// A status field: a read-only line whose text, when longer than the field,
// is shown with its middle left out, so both ends (a device path's start and
// the line settings at its end) stay in view. The whole text stays the
// field's text and is its tooltip.
#include <QLineEdit>

namespace kestrel {

class StatusField : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(QString shownText READ shownText)
public:
    explicit StatusField(QWidget* parent = nullptr);

    // What the field paints: the text, shortened in the middle to fit.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect textArea() const;
};

} // namespace kestrel
