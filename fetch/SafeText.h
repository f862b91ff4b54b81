// Text that came from the network (a reason phrase, a proxy's reply, an
// alert) reaches the console, the event log and syslog. Control characters
// in it could drive the terminal of whoever reads the output, so they are
// replaced before it is shown.
#pragma once

#include <string>
#include <string_view>

namespace velmora::network {

// Replaces each C0 control character other than tab, DEL, and each C1
// control (U+0080 to U+009F) encoded in UTF-8 by "?". Everything else,
// other UTF-8 included, passes unchanged.
std::string safeNetworkText(std::string_view text);

}  // namespace velmora::network
