#pragma once
// Reads back what a binary write has just put into the console's memory,
// through the binary-read conversation, and compares it with what the write
// sent. The comparison runs as the bytes arrive, a frame at a time through
// the fixed transfer buffer: neither the file nor the block is held whole.
#include "Transfer.h"

#include <QtGlobal>

namespace kestrel {

class ExclusiveFile;
class MonitorLink;
class SentFrames;

// Compares `length` bytes of the console's memory at `address` with what the
// frames recorded in `sent` carried, and says "Verified: N bytes at ADDRESS."
// or why not on the terminal; a failure is also shown in a message box. A
// byte that differs is named from the file, whose bytes from `offset` the
// frames were read from, as long as the file still holds what was sent
// there; if it has changed since, that is said instead of a byte. Expects the
// line held by the caller (TransferHold) and the monitor at its prompt.
// Completed when every byte matched, Stopped by Stop, otherwise Failed (no
// binary-read prompt, a byte that differs, a block that ends short).
TransferOutcome verifyDownload(MonitorLink& link, ExclusiveFile& file, qint64 offset,
                               const SentFrames& sent, quint32 address, quint32 length);

} // namespace kestrel
