#include "host/standard_streams.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#else
#include <csignal>
#endif

namespace melvix {

void useBinaryStandardStreams() {
#ifdef _WIN32
  // The C runtime would otherwise turn 0D 0A into 0A and stop at 1A inside a length or a text.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#else
  // A browser that has closed its end of the pipe must not kill the host with SIGPIPE; the
  // failed write is ignored and the host goes on until its input ends.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace melvix
