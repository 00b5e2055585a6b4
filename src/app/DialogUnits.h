#pragma once
// Dialog layouts are given in dialog units, which scale with the dialog's
// font: a horizontal unit is a quarter of the font's average character width,
// a vertical unit an eighth of its height. Computing them from the font keeps
// labels inside their controls whatever font the desktop substitutes.
#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace kestrel {

// The font the dialogs are designed for, with the usual substitutes.
QFont dialogFont();

// Group boxes drawn as the layouts expect them: the title sits on the frame's
// top line, so controls placed just under the title are inside the frame
// (Linux styles put the title above the frame, over the controls' room).
void frameGroupsAroundTitles(QWidget* dialog);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    double xFactor() const { return x_; }
    double yFactor() const { return y_; }
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;
    // Sets the widget's geometry from a rectangle in dialog units.
    void place(QWidget* widget, int x, int y, int width, int height) const;

private:
    double x_;
    double y_;
};

} // namespace kestrel
