#pragma once
// Every modal thing the window shows goes through this seam: the real
// implementation runs the widgets, tests answer instead of blocking.
#include "DataDownload.h"
#include "Host.h"
#include "PortProfile.h"
#include "ReceiveFile.h"

#include <QFont>
#include <QString>

#include <optional>

class QWidget;

namespace kestrel {

// What an open-file chooser is asked with, in the terms of the program's own
// filter strings ("All Files (*.*) | *.* ||").
struct FileChooserRequest {
    QString filter;
    QString defaultSuffix; // empty: none
    QString initialName;
};

class UserDialogs {
public:
    virtual ~UserDialogs() = default;

    // A message with an OK button; the caption is the application's name.
    virtual void message(QWidget* parent, const QString& text, BoxIcon icon) = 0;
    // Yes or No, with the question icon; true for Yes.
    virtual bool question(QWidget* parent, const QString& text) = 0;
    // The chosen full path, or nothing when the user cancelled.
    virtual std::optional<QString> openFileName(QWidget* parent,
                                                const FileChooserRequest& request) = 0;
    virtual std::optional<QFont> chooseFont(QWidget* parent, const QFont& initial) = 0;
    // Runs the Port Settings dialog opened on `fields`; the fields read back
    // on OK, nothing on Cancel.
    virtual std::optional<PortDialogFields> portSettings(QWidget* parent,
                                                         const PortDialogFields& fields) = 0;
    // Both start with empty fields and validate before they close with OK.
    virtual std::optional<DownloadRequest> download(QWidget* parent) = 0;
    virtual std::optional<ReceiveRequest> receive(QWidget* parent) = 0;
    virtual void about(QWidget* parent) = 0;
    virtual void help(QWidget* parent, const QString& text) = 0;
};

} // namespace kestrel
