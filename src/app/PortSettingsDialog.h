#pragma once
// The Port Settings dialog: speed, data bits, stop bits, parity, port and flow
// control. It only edits its fields; the caller fills them before it runs and
// reads them back after OK.
#include "PortProfile.h"

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QFrame;
class QLabel;

namespace kestrel {

class PortSettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit PortSettingsDialog(QWidget* parent = nullptr);

    // Writes the fields into the controls, then fills the speed list; the
    // edit text stays exactly as given.
    void setFields(const PortDialogFields& fields);
    // The controls' state: the edit text, and each group's selected position
    // (-1 when none).
    PortDialogFields fields() const;

    // The speeds offered, in list order.
    static QStringList speeds();

private:
    QButtonGroup* addRadioGroup(QWidget* box, int firstId, const QStringList& labels,
                                std::initializer_list<QRect> positions);

    QComboBox* baud_ = nullptr;
    QButtonGroup* dataBits_ = nullptr;
    QButtonGroup* stopBits_ = nullptr;
    QButtonGroup* echo_ = nullptr;
    QButtonGroup* parity_ = nullptr;
    QButtonGroup* port_ = nullptr;
    QButtonGroup* flow_ = nullptr;
    QLabel* inUse_ = nullptr;
    QFrame* edge_ = nullptr;
    QSize plainSize_;
};

} // namespace kestrel
