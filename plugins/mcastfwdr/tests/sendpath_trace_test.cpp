// PCR restamping's trace on the debug stream: a line a PCR while
// "/run/debug/mcfw/pcr" exists, the values of each restamped PCR, and the
// realignment of an output that drifts for too long.
#include "sendpath_fixture.h"
#include "sendpath_pcr.h"

#include "mux/maintainer.h"

#include <kerrow/path.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace mcftest;

class RestampTrace : public SendPathTest {
protected:
    void SetUp() override
    {
        SendPathTest::SetUp();
        mcf::maintainer::debug_stream_reset();
        fs::create_directories(file_.parent_path());
        mi_ = input(100, 10000000, 5000);
        ASSERT_NE(mi_, nullptr);
        out_ = std::make_unique<test_output>(1, 10000000, 25000000);
        pcr_windows_add_rates((*out_)->pcrs, 100, 10000000, 25000000, 0x100);
        w_ = pcr_windows_find((*out_)->pcrs, 100, 0x100);
    }
    void TearDown() override
    {
        mcf::maintainer::debug_stream_reset();
        SendPathTest::TearDown();
    }
    // rx input and tx output packets since the previous PCR, then a PCR of
    // value p; the value written.
    uint64_t pcr(uint64_t p, uint32_t rx, uint32_t tx)
    {
        for (uint32_t i = 0; i < rx; ++i)
            pcr_windows_inc_total_pkts_rx((*out_)->pcrs, 100);
        tx_ += tx;
        pcr_window_save_pkts(w_, pcr_window_get_total_pkts_rx(w_), tx_);
        uint8_t b[188] = {0x47, 0x01, 0x00, 0x30, 7, 0x10};
        tsphPcrSet(b + 6, p);
        const adaptation_field f = tsphGetAdaptionField(b + 4);
        mcastfwdr_handle_adaptation_field(b + 4, &f, (*out_)->pcrs, w_, mi_, out_->get(), 0x100, nullptr);
        return pcr_of(b);
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
    manager_input *mi_ = nullptr;
    std::unique_ptr<test_output> out_;
    pcr_window_info *w_ = nullptr;
    uint32_t tx_ = 0;
};

TEST_F(RestampTrace, EachPcrIsALineWhileTheStreamIsOpen)
{
    std::ofstream(file_) << "old\n";
    const uint64_t step = 1055808; // 260 packets at 10 Mbit/s
    uint64_t p = 1000000;
    for (int i = 0; i < 3; ++i, p += step)
        pcr(p, 260, 650); // references: kept as received
    std::vector<std::string> want(3, "Input 100 Output 1 PID=  100");
    want.push_back(restamped(p, pcr(p, 260, 650)));
    // 300 output packets too many each time: beyond the drift allowance,
    // which 61 times in a row is tolerated; the 62nd realigns the output.
    for (int i = 0; i < 62; ++i) {
        p += step;
        want.push_back(restamped(p, pcr(p, 260, 950)));
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
