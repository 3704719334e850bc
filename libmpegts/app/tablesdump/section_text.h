// Text forms of the sections tablesdump stores: PAT, CAT, PMT, ATSC STT and
// RRT by their fields, BISS-CA ECM/EMM without text, anything else as a hex
// dump. A section is exactly section_length + 3 bytes; one whose fixed part
// does not fit its length is shown as a hex dump rather than read past.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tdump {

std::string section_text(std::span<const uint8_t> section);
std::string hex_dump(std::span<const uint8_t> bytes);
// Blank-separated groups of four upper-case hex digits.
std::string key_text(std::span<const uint8_t> bytes);
// printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace tdump
