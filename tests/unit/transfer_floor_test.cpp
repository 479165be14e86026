// The transfer floor against a clock the table sets: each row is a series of
// reads (time in ms, bytes received in all) and the read at which the
// transfer is abandoned (-1: never).
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "transfer_floor.h"

namespace {

TEST(TransferFloor, AbandonsOnlyAWholeWindowBelowTheFloor)
{
    typedef std::vector<std::pair<std::uint32_t, std::uint64_t>> Reads;
    const std::uint32_t Wrap = 0xFFFFF000u;
    const struct {
        const char* name;
        std::uint32_t startMs;
        Reads reads;
        int abandonedAt;
    } cases[] = {
        {"a byte every 10 s", 0, {{10000, 1}, {20000, 2}, {30000, 3}}, 1},
        {"a modem's 5 KiB/s", 0, {{10000, 51200}, {20000, 102400}, {40000, 204800}, {60000, 307200}}, -1},
        {"8 KiB bursts each second",
         0,
         {{1000, 8192}, {19000, 155648}, {21000, 172032}, {41000, 335872}},
         -1},
        {"exactly the floor", 0, {{20000, 20480}, {40000, 40960}}, -1},
        {"a byte short of it", 0, {{20000, 20479}}, 0},
        {"fast, then a trickle",
         0,
         {{1000, 1 << 20}, {20000, (1 << 20) + 30000}, {40000, (1 << 20) + 30001}},
         2},
        {"a stall within the window", 0, {{2000, 40000}, {19000, 40000}, {21000, 60000}}, -1},
        {"a long read still judged", 0, {{59000, 100}}, 0},
        {"the clock wraps", Wrap, {{Wrap + 10000, 1}, {Wrap + 20000, 2}}, 1},
    };
    for (const auto& c : cases) {
        TransferFloor floor;
        StartFloor(floor, c.startMs);
        int abandoned = -1;
        for (std::size_t i = 0; abandoned < 0 && i < c.reads.size(); ++i) {
            if (!AboveFloor(floor, c.reads[i].first, c.reads[i].second))
                abandoned = static_cast<int>(i);
        }
        EXPECT_EQ(abandoned, c.abandonedAt) << "case: " << c.name;
    }
}

}  // namespace
