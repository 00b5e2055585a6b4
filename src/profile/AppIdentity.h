#pragma once
// The program's name, organisation and version, which also name the settings
// store: the window and kestrel-cli read the same stored port only because
// both take them from here.
#include <QString>

namespace kestrel {

// "2.1": the version as the window's banner, title and About box show it.
QString shortVersion();
// "2.1.0": the version as --version and the package give it.
QString fullVersion();

// Names the running application (organisation, name, version) so that
// QSettings() opens the shared store. Call once, right after the
// QCoreApplication is made.
void nameApplication();

} // namespace kestrel
