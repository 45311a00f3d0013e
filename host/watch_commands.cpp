#include "host/command_handlers.h"

void handleWatch(const Request&, CMidi&) {}

void handleUnwatch(const Request&, CMidi&) {}
