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
// the conversation and sets the registers; A-OUT closes the current section,
// sends no further one and sets no registers. Either gives Failed.
TransferOutcome downloadPsExe(MonitorLink& link, const QString& path);
TransferOutcome downloadAOut(MonitorLink& link, const QString& path);
// The same, with the allocation of the section header table supplied.
TransferOutcome downloadAOut(MonitorLink& link, const QString& path,
                             const SectionTableAllocator& allocate);
void setStartRegister(MonitorLink& link, StartRegister reg, quint32 value);

} // namespace kestrel
