// The ffmpeg and ffprobe command-line tools as the decoder's card tests use
// them: they make the test streams and FFmpeg's own view of them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dectest {

// Runs a command and returns what it wrote on its standard output.
inline std::vector<uint8_t> output_of(const std::string &cmd)
{
    std::vector<uint8_t> out;
    FILE *f = ::popen(cmd.c_str(), "r");
    if (!f)
        return out;
    uint8_t buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out.insert(out.end(), buf, buf + n);
    ::pclose(f);
    return out;
}

} // namespace dectest
