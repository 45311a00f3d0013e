// The host's standard streams as native messaging uses them: untranslated bytes both ways.
#pragma once

namespace melvix {

// Switches the standard streams to untranslated bytes where the C runtime translates them, and
// keeps a browser that closes its end of the pipe from ending the host with SIGPIPE.
void useBinaryStandardStreams();

}  // namespace melvix
