// Helpers shared by the carrier tests: INFO records of a card (from the
// simulated carrier's helpers), recording stand-in commands.
#pragma once

#include "card_records.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace carriertest {

using xsbsim::blvds_rec;
using xsbsim::card_records;
using xsbsim::carrier_rec;
using xsbsim::info_frame;
using xsbsim::kFpgaRec;
using xsbsim::kVersionRec;
using xsbsim::port_rec;

inline void write_text(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

inline std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A stand-in program in dir that appends its name and arguments, one line
// per run, to dir/calls, and exits with `status`.
inline void recorder(const std::string &dir, const std::string &name, int status = 0)
{
    const std::string path = dir + "/" + name;
    write_text(path, "#!/bin/sh\necho \"" + name + " $*\" >> \"" + dir + "/calls\"\nexit " + std::to_string(status) + "\n");
    chmod(path.c_str(), 0755);
}

} // namespace carriertest
