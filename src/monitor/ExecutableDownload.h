#pragma once
// Loads a PS-X EXE or A-OUT program into the console at the addresses its
// headers give, then sets the start registers.
#include "Transfer.h"

#include <QString>
#include <QtGlobal>

namespace kestrel {

class MonitorLink;

enum class StartRegister { Epc, Gp, Sp };

// Both expect receive events off and transferBusy held by the caller.
TransferOutcome downloadPsExe(MonitorLink& link, const QString& path);
TransferOutcome downloadAOut(MonitorLink& link, const QString& path);
void setStartRegister(MonitorLink& link, StartRegister reg, quint32 value);

} // namespace kestrel
