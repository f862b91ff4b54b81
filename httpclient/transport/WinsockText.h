// The texts of Winsock error codes: "[code] description", or
// "[code] (no description available)" for a code without one.
#pragma once

#include <string>

namespace velmora::network::component {

std::string winsockErrorText(int code);

}  // namespace velmora::network::component
