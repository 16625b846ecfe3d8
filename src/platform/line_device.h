#pragma once

// The line-service substitute's view of the system: opening the serial device behind a
// telephony line for a passthrough call, and the process checks of the per-process handle
// record. Results are 0 / a descriptor or a positive errno value; nothing throws.

#include <string>

namespace quillon::platform {

// Opens a line's device for a passthrough call: read/write, non-blocking, not as the
// controlling terminal, close-on-exec, with the same exclusive advisory lock the serial
// device takes (a device already open elsewhere fails with EBUSY), raw eight-bit mode and
// RTS/CTS flow control, as the comm port expects a handed-over modem. Returns the
// descriptor (>= 0) or -errno; a path that is not a terminal gives -ENOTTY.
int OpenLineDevice(const std::string &path);
// Closes a descriptor OpenLineDevice returned; -1 is ignored.
void CloseLineDevice(int fd);

// This process's id, and whether a process with that id still runs.
int CurrentProcessId();
bool ProcessRunning(int pid);

} // namespace quillon::platform
