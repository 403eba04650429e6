// The protocol library as the service sees it: message builders, parsers, framing and the
// voice packets. The service includes this header, never the library's own.
#pragma once

#include <talkwire.h>
