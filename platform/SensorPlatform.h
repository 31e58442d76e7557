#pragma once

// The platform layer under the transports: threads with synchronised calls, the
// per-thread message queues, the application's message processing (`Application()`,
// which a program pumps with Run, RunUntil or ProcessMessages, or from its own event
// loop through EventDescriptor and ProcessDue), components, events,
// string lists and the system's error texts. Installed next to SensorLib.h; inside
// the source tree it is the same as Platform.h.

#include "Platform.h"
