#pragma once
// Reads back what a binary write has just put into the console's memory,
// through the binary-read conversation, and compares it byte for byte with the
// file it came from. The comparison runs as the bytes arrive, through the
// fixed transfer buffer: neither the file nor the block is held whole.
#include "Transfer.h"

#include <QtGlobal>

namespace kestrel {

class ExclusiveFile;
class MonitorLink;

// Compares `length` bytes of the console's memory at `address` with the file's
// bytes from `offset`, and says "Verified: N bytes at ADDRESS." or why not on
// the terminal; a failure is also shown in a message box. Expects the line held
// by the caller (TransferHold) and the monitor at its prompt. Completed when
// every byte matched, Stopped by Stop, otherwise Failed (no binary-read
// prompt, a byte that differs, a block that ends short, the file unreadable).
TransferOutcome verifyDownload(MonitorLink& link, ExclusiveFile& file, qint64 offset,
                               quint32 address, quint32 length);

} // namespace kestrel
