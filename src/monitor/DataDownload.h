#pragma once
// Downloads any file, byte for byte, to a memory address of the console
// through the binary-write conversation.
#include "Transfer.h"

#include <QString>
#include <QtGlobal>

namespace kestrel {

class MonitorLink;

// The core of the data download. Expects receive events off and
// transferBusy held by the caller.
TransferOutcome downloadDataFile(MonitorLink& link, const QString& path, quint32 address);

} // namespace kestrel
