// The installer's preflight (`orlocard --check`): what the service would meet
// at its start-up, tried once and told plainly. It reads the registry store
// and the settings file, connects to the database as the service does (ping
// of the host first, where the service pings), runs SELECT {fn now()}, lists
// this computer's loops with their serial ports and opens each port once.
//
// It changes nothing: no setting is written back to the settings file and no
// line goes to the service's log folder (so running it as root leaves no file
// the service user cannot write). Progress lines go to out; every problem is
// one line on err. For the main thread of a process that runs no service.
#pragma once

#include <ostream>

namespace orlo {

// 0 when the service would start with what it finds; 1 when something is
// wrong (each problem told on err).
int RunPreflightCheck(std::ostream& out, std::ostream& err);

}  // namespace orlo
