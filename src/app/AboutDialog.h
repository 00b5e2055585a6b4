#pragma once
// The About box: the program's name and version and the key list.
#include <QDialog>
#include <QStringList>

namespace kestrel {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // The text lines, top to bottom.
    static QStringList lines();
};

} // namespace kestrel
