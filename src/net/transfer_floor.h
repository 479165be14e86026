// The slowest transfer the updater waits for. WinHTTP's own time-out is per
// read, so a server that sends a byte now and then would hold a player at
// the updater for as long as it likes; the download measures the rate
// itself between reads and abandons a transfer that stays below the floor
// for a whole window, like any failed transfer.
//
// The floor, 1 KiB/s over windows of 20 s, lies far below any connection a
// player has (a 56 kbit/s modem carries 5 to 7 KiB/s), and a window that
// long rides out a stall of several seconds; a server that trickles is
// dropped within two windows of its first byte.
#pragma once

#include <cstdint>

const std::uint32_t FloorWindowMs = 20000;
const std::uint64_t FloorBytesPerSecond = 1024;

// The window being judged: since when, and how much had arrived then.
struct TransferFloor {
    std::uint32_t windowStartMs = 0;
    std::uint64_t windowStartBytes = 0;
};

// Starts judging at nowMs, a millisecond clock that may wrap (GetTickCount).
void StartFloor(TransferFloor& floor, std::uint32_t nowMs);

// Whether a transfer that has received bytes in all by nowMs may go on:
// false once a window of FloorWindowMs or more brought less than the floor.
// A window that passed starts the next one.
bool AboveFloor(TransferFloor& floor, std::uint32_t nowMs, std::uint64_t received);
