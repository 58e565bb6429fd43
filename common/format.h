// Text formats shared by every unit's messages.
#pragma once

#include <cstdint>
#include <string>

// "0x" and eight upper-case hexadecimal digits of the value taken as 32-bit
// unsigned: -1 gives "0xFFFFFFFF".
std::string format_hex(std::uint32_t value);
