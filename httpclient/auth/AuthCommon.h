// Shared helpers of the authentication codecs: Base64, MD5 in hex, and the
// random bytes of client nonces. No sockets, no component state: the HTTP
// layer and the tunnel both call these codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velmora::network::component::auth {

// Base64 without line breaks.
std::string base64Encode(std::string_view bytes);
// False on anything but whole groups of the Base64 alphabet with "=" only
// as the final padding.
bool base64Decode(std::string_view text, std::string& bytes);

// The bytes as lowercase hexadecimal digits, two per byte, in order.
std::string hexBytes(const uint8_t* bytes, size_t length);
// MD5 of the bytes as 32 lowercase hexadecimal digits.
std::string md5Hex(std::string_view bytes);

// Bytes from the system's random source.
void randomBytes(uint8_t* out, size_t length);
// Replaces the random source (nullptr: back to the system's), so that tests
// can fix the client nonces.
void setRandomSourceForTesting(std::function<void(uint8_t*, size_t)> source);

}  // namespace velmora::network::component::auth
