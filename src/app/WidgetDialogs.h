#pragma once
// The dialog seam on real widgets.
#include "UserDialogs.h"

namespace kestrel {

class WidgetDialogs : public UserDialogs {
public:
    void message(QWidget* parent, const QString& text, BoxIcon icon) override;
    bool question(QWidget* parent, const QString& text) override;
    std::optional<QString> openFileName(QWidget* parent,
                                        const FileChooserRequest& request) override;
    std::optional<QFont> chooseFont(QWidget* parent, const QFont& initial) override;
    std::optional<PortDialogFields> portSettings(QWidget* parent,
                                                 const PortDialogFields& fields) override;
    std::optional<DownloadRequest> download(QWidget* parent) override;
    std::optional<ReceiveRequest> receive(QWidget* parent) override;
    void about(QWidget* parent) override;
    void help(QWidget* parent, const QString& text) override;
};

} // namespace kestrel
