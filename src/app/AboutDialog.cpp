#include "AboutDialog.h"

#include "AppIdentity.h"

#include "DialogUnits.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace kestrel {

QStringList AboutDialog::lines() {
    return {
        QStringLiteral("Kestrel Version ") + shortVersion(),
        QStringLiteral("PC-Yaroze comms utility."),
        QStringLiteral("F3 - Auto operation"),
        QStringLiteral("Shift+F3 - Repeat last AUTO operation"),
        QStringLiteral("F4 - Binary file download to yaroze"),
        QStringLiteral("F5 - Formatted file download to yaroze"),
        QStringLiteral("F12 - Port Settings"),
        QStringLiteral("Ctrl+F - Select Font"),
    };
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Kestrel"));
    setFont(dialogFont());
    const DialogUnits units(font());
    setFixedSize(units.size(216, 157));

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/kestrel.png")).pixmap(32, 32));
    units.place(icon, 11, 10, 21, 20);

    const QStringList texts = lines();
    int top = 10;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        auto* line = new QLabel(texts[i], this);
        // The key lines run below the OK button, so they may be wider.
        units.place(line, 40, top, i < 2 ? 115 : 170, 10);
        // The version and the tag line stand apart from the key list.
        top += i == 1 ? 20 : 13;
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    units.place(ok, 159, 7, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace kestrel
