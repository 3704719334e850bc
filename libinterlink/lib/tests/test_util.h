// Helpers shared by the libinterlink tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace xsbtest {

// A temporary directory removed with its contents.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = "/tmp/xsbt.XXXXXX";
        if (!mkdtemp(tmpl.data()))
            std::abort();
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                std::streamsize(bytes.size()));
}
inline void write_text(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
inline std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An FPGA image as the bitstream tools write it: a comment area that names
// the design (carrier and device, the device with "-"), the preamble
// FF FF BD B3, then `size` bytes in all of pseudo-random configuration data.
inline std::vector<uint8_t> make_image(const std::string &carrier, const std::string &device,
                                       size_t size, uint32_t seed = 1)
{
    std::vector<uint8_t> img = {0xFF, 0x00};
    for (const std::string &s : {std::string("Design: ") + carrier, "Part: " + device, std::string("Date: today")}) {
        img.insert(img.end(), s.begin(), s.end());
        img.push_back(0x00);
    }
    img.insert(img.end(), {0xFF, 0xFF, 0xBD, 0xB3});
    uint32_t x = seed;
    while (img.size() < size) {
        x = x * 1103515245u + 12345u;
        img.push_back(uint8_t(x >> 16));
    }
    img.resize(size);
    return img;
}

} // namespace xsbtest
