#pragma once
// The memory and register report. A text header, one item a line:
//   kestrel-monitor-sim report
//   register <name> <8 hex digits>        (every register, by name)
//   counter <name> <decimal>              (see Counters)
//   region <8 hex digits address> <hex length>  (written memory, address order)
//   data
// and right after the "data" line the raw bytes of every region, in the
// order of the region lines, with nothing between or after them.
#include "Monitor.h"

#include <string>

namespace kestrel::sim {

// Writes beside `path` and renames, so a reader never sees half a report.
// Returns an error text on failure.
std::string writeReport(const std::string& path, const Monitor& monitor);

} // namespace kestrel::sim
