#pragma once
// The program's file-chooser filters are written as Windows dialogs take them, entries and
// patterns separated by '|' ("All Files (*.*) | *.* ||"). Qt wants one
// "Description (patterns)" string per entry, and on this platform "*.*" would
// hide files without a dot, so it becomes "*".
#include <QStringList>

namespace kestrel {

QStringList nameFiltersFromPatternList(const QString& filter);

} // namespace kestrel
