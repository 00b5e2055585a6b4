#pragma once
// The program's string table: message texts keyed by their numbers.
#include <QString>

namespace kestrel::strings {

enum Id : int {
    AboutMenuItem = 101,
    NoCommsParameters = 32778,
    PortNotOpened = 32779,
    PortSettingsRefused = 32781,
    SendFailed = 32782,
    NoLoadAddress = 32784,
    NoFilename = 32785,
    UploadInProgress = 32786,
    UploadFailed = 32787,
    ClickOkWhenReady = 32788,
    NoLength = 32789,
    NoBinaryRead = 32790,
};

// The text of string `id`; an empty string for a number the table lacks.
QString text(int id);

} // namespace kestrel::strings
