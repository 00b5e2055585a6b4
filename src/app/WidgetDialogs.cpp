#include "WidgetDialogs.h"

#include "AboutDialog.h"
#include "FileFilter.h"
#include "PortSettingsDialog.h"
#include "TransferDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>

namespace kestrel {

namespace {

QMessageBox::Icon boxIcon(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::Information:
        return QMessageBox::Information;
    case BoxIcon::Question:
        return QMessageBox::Question;
    case BoxIcon::Warning:
        break;
    }
    return QMessageBox::Warning;
}

} // namespace

void WidgetDialogs::message(QWidget* parent, const QString& text, BoxIcon icon) {
    QMessageBox box(boxIcon(icon), QApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

bool WidgetDialogs::question(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> WidgetDialogs::openFileName(QWidget* parent,
                                                   const FileChooserRequest& request) {
    QFileDialog chooser(parent, QStringLiteral("Open"));
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    // Any name is taken, not only existing files: a receive target need not
    // exist yet, and the transfers report a file they cannot open.
    chooser.setFileMode(QFileDialog::AnyFile);
    chooser.setNameFilters(nameFiltersFromPatternList(request.filter));
    if (!request.defaultSuffix.isEmpty()) chooser.setDefaultSuffix(request.defaultSuffix);
    // A wildcard initial name means "show everything", which the filter does.
    if (!request.initialName.contains(QLatin1Char('*'))) chooser.selectFile(request.initialName);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return {};
    return chooser.selectedFiles().front();
}

std::optional<QFont> WidgetDialogs::chooseFont(QWidget* parent, const QFont& initial) {
    bool ok = false;
    const QFont font =
        QFontDialog::getFont(&ok, initial, parent, QString(),
                             QFontDialog::ScalableFonts | QFontDialog::NonScalableFonts);
    if (!ok) return {};
    return font;
}

std::optional<PortDialogFields> WidgetDialogs::portSettings(QWidget* parent,
                                                            const PortDialogFields& fields) {
    PortSettingsDialog dialog(parent);
    dialog.setFields(fields);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.fields();
}

std::optional<DownloadRequest> WidgetDialogs::download(QWidget* parent) {
    DownloadDialog dialog(parent, *this);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.request();
}

std::optional<ReceiveRequest> WidgetDialogs::receive(QWidget* parent) {
    ReceiveDialog dialog(parent, *this);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.request();
}

void WidgetDialogs::about(QWidget* parent) {
    AboutDialog dialog(parent);
    dialog.exec();
}

void WidgetDialogs::help(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Kestrel Help"), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

} // namespace kestrel
