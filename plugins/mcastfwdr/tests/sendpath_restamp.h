// The PCR restamping rule on its own: one input at 10 Mbit/s into an
// output at 25 Mbit/s, one PCR window on PID 0x100, and PCRs handed to the
// adaptation-field handler as the send path hands them.
#pragma once

#include "sendpath_fixture.h"
#include "sendpath_pcr.h"

#include <memory>
#include <utility>

namespace mcftest {

class RestampTest : public SendPathTest {
protected:
    void SetUp() override
    {
        SendPathTest::SetUp();
        mi_ = input(100, 10000000, 5000);
        ASSERT_NE(mi_, nullptr);
        out_ = std::make_unique<test_output>(1, 10000000, 25000000);
        pcr_windows_add_rates((*out_)->pcrs, 100, 10000000, 25000000, 0x100);
        w_ = pcr_windows_find((*out_)->pcrs, 100, 0x100);
    }
    // rx input packets and tx output packets since the last PCR, then a
    // PCR of value pcr: the value written and whether it was flagged.
    std::pair<uint64_t, bool> pcr(uint64_t value, uint32_t rx, uint32_t tx)
    {
        for (uint32_t i = 0; i < rx; ++i)
            pcr_windows_inc_total_pkts_rx((*out_)->pcrs, 100);
        tx_ += tx;
        pcr_window_save_pkts(w_, pcr_window_get_total_pkts_rx(w_), tx_);
        uint8_t b[188] = {0x47, 0x01, 0x00, 0x30, 7, 0x10};
        tsphPcrSet(b + 6, value);
        const adaptation_field f = tsphGetAdaptionField(b + 4);
        mcastfwdr_handle_adaptation_field(b + 4, &f, (*out_)->pcrs, w_, mi_, out_->get(), 0x100, nullptr);
        return {pcr_of(b), discontinuous(b)};
    }
    manager_input *mi_ = nullptr;
    std::unique_ptr<test_output> out_;
    pcr_window_info *w_ = nullptr;
    uint32_t tx_ = 0;
};

} // namespace mcftest
