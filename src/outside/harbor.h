// The network and log library as the service sees it: log, socket service, sockets.
// The service includes this header, never the library's own.
#pragma once

#include <harbor/harbor.h>
