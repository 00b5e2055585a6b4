#pragma once
// Loads a PS-X EXE or A-OUT program into the console at the addresses its
// headers give, then sets the start registers.
#include "ExecutableFormat.h"
#include "Transfer.h"

#include <QString>
#include <QtGlobal>

namespace kestrel {

class MonitorLink;

enum class StartRegister { Epc, Gp, Sp };

// The window title an A-OUT download leaves behind.
inline const QString AOutDownloadTitle = QStringLiteral("Kestrel - by the Kestrel developers");

// Both expect the line held by the caller (TransferHold).
//
// A piece the monitor refuses, or a file that ends before the image or a
// section is complete, ends the sending as Stop would: PS-X EXE still closes
// the conversation; A-OUT closes the current section and sends no further
// one. Either gives Failed.
//
// The start registers are set only after a download that went through: a
// PS-X EXE whose image was not all acknowledged, closed with "end binary" and
// (when verifying) read back as sent, and an A-OUT that was neither stopped
// nor cut short, get none. The line that shows them ("Registers set: ...",
// "PC=...") comes once the monitor has echoed the last register command; a
// missing echo fails the download with a message instead.
TransferOutcome downloadPsExe(MonitorLink& link, const QString& path);
TransferOutcome downloadAOut(MonitorLink& link, const QString& path);
// The same, with the allocation of the section header table supplied.
TransferOutcome downloadAOut(MonitorLink& link, const QString& path,
                             const SectionTableAllocator& allocate);
// One register command, typed; its echo is dropped, not waited for.
void setStartRegister(MonitorLink& link, StartRegister reg, quint32 value);

} // namespace kestrel
