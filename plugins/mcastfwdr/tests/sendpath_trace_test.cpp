// PCR restamping's trace on the debug stream: a line a PCR while
// "/run/debug/mcfw/pcr" exists, the values of each restamped PCR, and the
// realignment of an output that drifts for too long.
#include "sendpath_restamp.h"

#include "mux/maintainer.h"

#include <kerrow/path.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace mcftest;

class RestampTrace : public RestampTest {
protected:
    void SetUp() override
    {
        mcf::maintainer::debug_stream_reset();
        fs::create_directories(file_.parent_path());
        RestampTest::SetUp();
    }
    void TearDown() override
    {
        mcf::maintainer::debug_stream_reset();
        RestampTest::TearDown();
    }
    std::vector<std::string> lines()
    {
        std::vector<std::string> v;
        std::ifstream in(file_);
        for (std::string l; std::getline(in, l);)
            v.push_back(l);
        return v;
    }
    static std::string restamped(uint64_t p, uint64_t n)
    {
        return "Input 100 Output 1 PID=  100  PCR actual= " + std::to_string(p) + " PCR_calc= " + std::to_string(n) +
               " Diff= " + std::to_string(int64_t(p - n)) + " Disc= 0";
    }
    kdtest::TempRoot root_;
    fs::path file_ = fs::path(kd_root()) / "run/debug/mcfw/pcr";
};

TEST_F(RestampTrace, EachPcrIsALineWhileTheStreamIsOpen)
{
    std::ofstream(file_) << "old\n";
    const uint64_t step = 1055808; // 260 packets at 10 Mbit/s
    uint64_t p = 1000000;
    for (int i = 0; i < 3; ++i, p += step)
        pcr(p, 260, 650); // references: kept as received
    std::vector<std::string> want(3, "Input 100 Output 1 PID=  100");
    want.push_back(restamped(p, pcr(p, 260, 650).first));
    // 300 output packets too many each time: beyond the drift allowance,
    // which 61 times in a row is tolerated; the 62nd realigns the output.
    for (int i = 0; i < 62; ++i) {
        p += step;
        want.push_back(restamped(p, pcr(p, 260, 950).first));
    }
    want.push_back("  ==== Restart output 1 to realign PCRs ==== ");
    EXPECT_EQ(lines(), want);

    // Removed: the stream closes and nothing brings the file back.
    fs::remove(file_);
    for (int i = 0; i < 202; ++i)
        pcr(p += step, 260, 650);
    EXPECT_FALSE(fs::exists(file_));
}

} // namespace
