// The floor's arithmetic, free of platform calls so that it is checked with
// any clock the tests like, wrapped or not.
#include "transfer_floor.h"

void StartFloor(TransferFloor& floor, std::uint32_t nowMs)
{
    floor.windowStartMs = nowMs;
    floor.windowStartBytes = 0;
}

bool AboveFloor(TransferFloor& floor, std::uint32_t nowMs, std::uint64_t received)
{
    // Unsigned: a clock that wrapped since the window began still gives
    // the time between.
    const std::uint32_t elapsedMs = nowMs - floor.windowStartMs;
    if (elapsedMs < FloorWindowMs)
        return true;
    if ((received - floor.windowStartBytes) * 1000 < FloorBytesPerSecond * elapsedMs)
        return false;
    floor.windowStartMs = nowMs;
    floor.windowStartBytes = received;
    return true;
}
