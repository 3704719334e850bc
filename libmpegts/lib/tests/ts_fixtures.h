// Helpers shared by the MPEG-TS tests: small tables, temporary files and
// running the FFmpeg tools.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "mpegts.h"

namespace tsfix {

inline bool have_program(const char *name)
{
    std::string cmd = "command -v ";
    cmd.append(name).append(" >/dev/null 2>&1");
    return std::system(cmd.c_str()) == 0;
}

// Runs a shell command and returns its standard output; status in *rc.
inline std::string run(const std::string &cmd, int *rc = nullptr)
{
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    int st = pclose(f);
    if (rc)
        *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// A directory removed with its contents at the end of the test.
struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        path = std::filesystem::temp_directory_path() / ("mpegts-" + std::to_string(getpid()) + "-" +
                                                         std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

inline std::vector<uint8_t> read_file(const std::filesystem::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void write_file(const std::filesystem::path &p, const std::vector<tsPkt> &pkts)
{
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char *>(pkts.data()), std::streamsize(pkts.size() * sizeof(tsPkt)));
}

// Packets of a section with continuity counters from *cc on.
inline std::vector<tsPkt> packets_of(const TTableBase *s, uint16_t pid, uint8_t *cc)
{
    std::vector<tsPkt> out(32);
    int n = packetize_section(out.data(), unsigned(out.size()), s, pid);
    EXPECT_GT(n, 0);
    out.resize(size_t(n < 0 ? 0 : n));
    for (auto &p : out) {
        tsphSetContinuityCounter(&p, *cc);
        *cc = uint8_t((*cc + 1) & 15);
    }
    return out;
}

// A hand-made section: table_id, long form, the given length, bytes
// filled with a pattern, a right CRC.
inline std::vector<uint8_t> make_section(uint8_t table_id, size_t total, uint8_t seed = 0)
{
    std::vector<uint8_t> s(total);
    s[0] = table_id;
    s[1] = uint8_t(0xB0 | ((total - 3) >> 8));
    s[2] = uint8_t(total - 3);
    for (size_t i = 3; i + 4 < total; ++i)
        s[i] = uint8_t(seed + i * 13);
    if (total >= 7)
        tsUpdateCRC(reinterpret_cast<TTableBase *>(s.data()));
    return s;
}

inline const TTableBase *as_section(const std::vector<uint8_t> &v) { return reinterpret_cast<const TTableBase *>(v.data()); }

// A four-second FFmpeg-muxed stream with two programs (MPEG-2 video and
// MP2 audio each), SDT and null packets, made once per test binary.
class FfmpegTwoPrograms : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!have_program("ffmpeg"))
            return;
        dir_ = new TempDir;
        std::string path = (dir_->path / "two.ts").string();
        int rc = -1;
        run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440 "
            "-f lavfi -i testsrc2=size=64x48:rate=25 -map 0:v -map 1:a -map 2:v -map 1:a "
            "-c:v mpeg2video -b:v 300k -c:a mp2 -t 4 -program title=A:st=0:st=1 -program title=B:st=2:st=3 "
            "-muxrate 3000000 -mpegts_flags +resend_headers -f mpegts '" + path + "' 2>&1",
            &rc);
        if (rc == 0)
            bytes_ = read_file(path);
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        if (bytes_.empty())
            GTEST_SKIP() << "ffmpeg could not make the test stream";
    }
    static size_t count() { return bytes_.size() / 188; }
    static const tsPkt *packet(size_t i) { return reinterpret_cast<const tsPkt *>(bytes_.data() + 188 * i); }

    static inline TempDir *dir_ = nullptr;
    static inline std::vector<uint8_t> bytes_;
};

} // namespace tsfix
