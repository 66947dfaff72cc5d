// What every fuzz target shares: the input written to a file the core can open by path, the
// leading bytes that choose a call's options, and the checks whose failure is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "cwa/operations.hpp"

namespace fuzz {

// The core reads recordings by path, so each input is written to one file per process,
// rewritten on every run; memory-backed (/dev/shm) where the system has it.
const std::string& write_recording(const std::uint8_t* data, std::size_t size);

// A broken invariant of a result the core returned: abort, so the fuzzer keeps the input.
[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// The first bytes of an input, taken as options; what remains is the recording. Running short
// of bytes gives zeros, so every input is usable.
class Options {
public:
    Options(const std::uint8_t*& data, std::size_t& size, std::size_t count);
    std::uint8_t byte(std::size_t i) const { return i < sizeof bytes_ ? bytes_[i] : 0; }

    // Bits 0-1 of byte 0 choose the cut: none, seconds, blocks, or seconds without bounds. Bytes
    // 1 and 2 are its start and end (0xFF for absent): quarter seconds, or block numbers.
    cwa::CutConfig cut() const;
    // Bits 2-5 of byte 0: magnetometer, temperature, light, battery.
    cwa::ChannelSelection channels() const;
    // The read of the recording at `path` with this cut and these channels, at `rate` if any.
    cwa::ReadRequest request(const std::string& path, std::optional<double> rate = std::nullopt) const;

private:
    std::uint8_t bytes_[8] = {};
};

// Every column of a read holds one value per timestamp; the auxiliary columns exist exactly
// when selected.
void check_columns(const cwa::CwaDataResult& result, const cwa::ChannelSelection& channels);

// Rows a resampled read of this recording could emit at most: the grid runs from the earliest
// packet start to the latest packet end, through every gap. Inputs above a small bound are
// skipped, since a clock jump of decades legitimately asks for billions of rows.
double resampled_rows_bound(const std::uint8_t* data, std::size_t size, double rate_hz);

}  // namespace fuzz
