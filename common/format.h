// Text formats shared by every unit's messages.
#pragma once

#include <cstdint>
#include <string>

// "0x" and eight upper-case hexadecimal digits of the value taken as 32-bit
// unsigned: -1 gives "0xFFFFFFFF".
std::string format_hex(std::uint32_t value);

// The image path of a service: quoted when it contains a blank, so Windows
// does not try "C:\Program.exe" first. Used by the executable's own
// installation and by the installer package's custom action.
std::string service_image_path(const std::string& path);
