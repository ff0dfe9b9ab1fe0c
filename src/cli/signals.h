// The tool's process-wide setup, done by main alone: the file layer installs
// nothing, so that a Python process never gets handlers behind its back.
#pragma once

#include <string_view>

namespace tarnwick::cli {

// Opens /dev/null on whichever of descriptors 0 to 2 is closed, so that no
// file the tool opens later can stand in for them. False if that fails.
bool ensure_standard_descriptors();

// Whether descriptor 1 was closed when the tool started: it is /dev/null
// now, and a command that writes there must fail rather than write nothing.
bool standard_output_was_closed();

// SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM remove any
// pending temporary file and clear a drawn progress bar, then end the process
// by the same signal. SIGXFSZ and SIGPIPE are ignored, so that a size limit
// and a closed pipe come back as the errors EFBIG and EPIPE. No model is
// mapped, so there is no SIGBUS to catch: a model cut short while it is read
// comes back as an error of the file layer.
void install_signal_handlers();

}  // namespace tarnwick::cli
