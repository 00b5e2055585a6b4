#include "Strings.h"

#include <utility>

namespace kestrel::strings {

namespace {
const std::pair<int, const char*> table[] = {
    {AboutMenuItem, "&About Kestrel..."},
    {NoCommsParameters, "No comms parameters have yet been specified.\nPlease use Edit...Port "
                        "Settings... to set up your comms parameters."},
    {PortNotOpened, "Com port could not be opened.\nPlease verify the settings in the following "
                    "dialog...\n\n(This is normal the first time you run this application)."},
    {PortSettingsRefused, "The comms port could not be opened with those settings.\nPlease "
                          "double-check them and try again."},
    {SendFailed, "Could not send data to comms port!"},
    {NoLoadAddress, "You must specify a load address."},
    {NoFilename, "You did not specify a filename!"},
    {UploadInProgress,
     "A file upload is currently in progress.\nPlease try again once it has completed."},
    {UploadFailed, "Upload of data failed."},
    {ClickOkWhenReady, "Click OK key when ready."},
    {NoLength, "You must specify a length for the amount of data to receive."},
    {NoBinaryRead, "Failed to start a binary-read conversation."},
};
} // namespace

QString text(int id) {
    for (const auto& [key, value] : table)
        if (key == id) return QString::fromLatin1(value);
    return {};
}

} // namespace kestrel::strings
