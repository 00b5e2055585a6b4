#pragma once
// The dialogs that ask for a file and hexadecimal numbers before a transfer:
// "File to download..." (file and address) and "Receive File" (file, address
// and length). Both start empty, check only that no field is empty, and
// remember nothing between uses.
#include "DataDownload.h"
#include "ReceiveFile.h"
#include "UserDialogs.h"

#include <QDialog>

#include <initializer_list>
#include <vector>

class QLineEdit;

namespace kestrel {

inline constexpr int FileNameFieldId = 1000;
inline constexpr int AddressFieldId = 1001;
inline constexpr int LengthFieldId = 1002;
inline constexpr int BrowseButtonId = 1005;

class TransferDialog : public QDialog {
    Q_OBJECT
public:
    QString fileName() const;
    QString fieldText(int id) const;

    // OK: the first empty field is named in a message and the dialog stays
    // open; with every field filled it closes with OK.
    void accept() override;
    // Browse: the chosen path replaces the file field; the others keep their
    // text.
    void browse();

protected:
    struct HexField {
        QString caption;
        int id;
        int emptyMessage; // string number shown when the field is empty
    };
    struct Layout {
        QString title;
        QSize dialogUnits;
        bool closeBox;
    };
    TransferDialog(QWidget* parent, UserDialogs& dialogs, const Layout& layout,
                   std::initializer_list<HexField> hexFields);

private:
    struct Field {
        QLineEdit* edit;
        int emptyMessage;
    };
    UserDialogs& dialogs_;
    std::vector<Field> fields_; // the file field first, in the order they are checked
};

class DownloadDialog : public TransferDialog {
    Q_OBJECT
public:
    DownloadDialog(QWidget* parent, UserDialogs& dialogs);
    DownloadRequest request() const;
};

class ReceiveDialog : public TransferDialog {
    Q_OBJECT
public:
    ReceiveDialog(QWidget* parent, UserDialogs& dialogs);
    ReceiveRequest request() const;
};

// The chooser behind both Browse buttons.
FileChooserRequest dataFileChooserRequest();

} // namespace kestrel
