// Core paths that no call from Python can reach, driven directly.
//
//   core_edges_check times   reads microsecond counts from stdin, prints the device-clock text
//                            of each (or "none"), one per line
//   core_edges_check errors  runs the error checks below, each one comparison of the tally
//                            (check.hpp)
//
// The errors are those the reading roads guard against but never meet, because an earlier
// stage already refused the input or the columns follow the same flags, and the file that
// shrinks while it is read.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "cwa/csv.hpp"
#include "cwa/block_walker.hpp"
#include "cwa/datetime.hpp"
#include "cwa/packet.hpp"
#include "cwa/plan.hpp"
#include "cwa/read.hpp"
#include "cwa/resampled_read.hpp"
#include "cwa/timing.hpp"

#include "check.hpp"

// Every read(2) of the core comes here. When armed, the `shrink_after`-th call first cuts the
// file at `shrink_path` to `shrink_to` bytes: another process rewriting the recording while it
// is read.
namespace {
long shrink_after = -1;
std::string shrink_path;
off_t shrink_to = 0;
}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t length) {
    if (shrink_after >= 0 && shrink_after-- == 0 && ::truncate(shrink_path.c_str(), shrink_to) != 0) {
        std::perror("truncate");
    }
    return static_cast<ssize_t>(::syscall(SYS_read, fd, buffer, length));
}

namespace {

template <class T>
void expect_error(const char* name, const cwa::Result<T>& result, const std::string& want) {
    const std::string got = result ? "succeeded" : '"' + result.error().display() + '"';
    check::expect(got == '"' + want + '"', "%s: %s, want \"%s\"", name, got.c_str(), want.c_str());
}

void put_u16(std::uint8_t* at, unsigned value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

// A data sector of `count` zero samples of `format` at 100 Hz, `second` seconds into a day of 2023.
std::unique_ptr<std::uint8_t[]> data_sector(std::uint8_t format, unsigned count, unsigned second = 0) {
    auto sector = std::make_unique<std::uint8_t[]>(cwa::sector_size);  // exactly 512 bytes, for ASan
    std::memset(sector.get(), 0, cwa::sector_size);
    sector[0] = 'A';
    sector[1] = 'X';
    const std::uint32_t time = (23u << 26) | (6u << 22) | (15u << 17) | (12u << 12) | (second / 60 << 6) | second % 60;
    for (int i = 0; i < 4; ++i) sector[14 + i] = static_cast<std::uint8_t>(time >> (8 * i));
    sector[24] = 0x4A;
    sector[25] = format;
    put_u16(sector.get() + 28, count);
    return sector;
}

// A recording of `blocks` one-second packets of 100 packed samples.
std::string write_recording(const std::string& path, unsigned blocks) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::uint8_t metadata[cwa::metadata_size] = {'M', 'D'};
    std::fwrite(metadata, 1, sizeof metadata, file);
    for (unsigned i = 0; i < blocks; ++i) std::fwrite(data_sector(0x30, 100, i).get(), 1, cwa::sector_size, file);
    std::fclose(file);
    return path;
}

void from_buffer_checks_its_own_sector() {
    auto sector = data_sector(0x30, 1);
    sector[0] = 'M';
    sector[1] = 'D';
    expect_error("from_buffer on a metadata sector", cwa::CwaDataBlock::from_buffer(sector.get()),
                 "Invalid data block header");
    sector[0] = 0xFF;
    expect_error("from_buffer on a non-text signature", cwa::CwaDataBlock::from_buffer(sector.get()),
                 "Invalid packet header format");
}

// One sample more than the 480-byte area holds, for each format. Decoding must refuse before it
// reads past the sector or writes past a block's worth of samples.
void parse_samples_refuses_overfull_blocks() {
    struct Case {
        std::uint8_t format;
        unsigned capacity;
        const char* message;
    };
    const Case cases[] = {
        {0x30, 120, "Insufficient data for packed 3-axis samples"},
        {0x32, 80, "Insufficient data for unpacked 3-axis samples"},
        {0x62, 40, "Insufficient data for unpacked 6-axis samples"},
        {0x92, 26, "Insufficient data for unpacked 9-axis samples"},
    };
    for (const Case& c : cases) {
        for (unsigned count : {c.capacity + 1, 0xFFFFu}) {
            auto sector = data_sector(c.format, count);
            auto block = cwa::CwaDataBlock::from_buffer(sector.get());
            if (!check::expect(block.has_value(), "from_buffer refused format %02x", c.format)) continue;
            // Room for a full block only: an overrun would land outside these arrays.
            float columns[9][120];
            const cwa::SampleColumns out{{columns[0], columns[1], columns[2]},
                                         {columns[3], columns[4], columns[5]},
                                         {columns[6], columns[7], columns[8]}};
            expect_error(c.message, cwa::parse_samples(*block, true, out), c.message);
        }
        // A full block decodes.
        auto sector = data_sector(c.format, c.capacity);
        float columns[9][120];
        const cwa::SampleColumns out{{columns[0], columns[1], columns[2]},
                                     {columns[3], columns[4], columns[5]},
                                     {columns[6], columns[7], columns[8]}};
        check::expect(cwa::parse_samples(*cwa::CwaDataBlock::from_buffer(sector.get()), true, out).has_value(),
                      "a full block of format %02x was refused", c.format);
    }
}

// A block of no samples moves no packet end: with none before it there is still none (not one
// that ended at the epoch), and one before it stays where it was.
void empty_block_keeps_the_previous_end() {
    auto sector = data_sector(0x30, 0);
    const auto block = cwa::CwaDataBlock::from_buffer(sector.get());
    if (!check::expect(block.has_value(), "from_buffer refused a block of no samples")) return;
    std::int64_t unused[1];
    for (const std::optional<double> before : {std::optional<double>(), std::optional<double>(12.5)}) {
        std::optional<double> previous_end = before;
        const bool written = cwa::write_sample_timestamps(*block, 0, previous_end, unused).has_value();
        check::expect(written && previous_end == before, "a block of no samples moved the previous end from %s",
                      before ? "12.5" : "none");
    }
}

// A selected auxiliary column without a value is refused before anything is written.
void csv_row_needs_its_selected_values() {
    auto file = cwa::OutputFile::create("/dev/null");
    if (!check::expect(file.has_value(), "/dev/null cannot be opened")) return;
    cwa::CsvWriter writer(std::move(*file));
    const char* messages[] = {"Temperature requested but unavailable", "Light requested but unavailable",
                              "Battery requested but unavailable"};
    for (std::size_t c = 0; c < cwa::aux_channel_count; ++c) {
        const cwa::CsvColumns columns{false, false, {true, c == 0, c == 1, c == 2}};
        cwa::CsvRow row{0, {0, 0, 0}, {}, {1.0f, 1.0f, 1.0f}};
        check::expect(cwa::write_csv_row(writer, columns, row).has_value(), "a row with every value was refused");
        row.aux[c].reset();
        expect_error(messages[c], cwa::write_csv_row(writer, columns, row), messages[c]);
    }
}

// The core's read functions take time bounds from any caller; non-finite ones are refused
// before the order is tested. (Bounds made from a validated seconds cut are always finite.)
void time_bounds_must_be_finite(const std::string& path) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string finite = "time range values must be finite";
    const cwa::ChannelSelection channels{true, true, true, true};
    struct Bounds {
        std::optional<double> start, end;
    };
    const Bounds cases[] = {{nan, std::nullopt}, {std::nullopt, inf}, {-inf, 2e9}, {2e9, nan}, {inf, 0.0}};
    for (const Bounds& b : cases) {
        expect_error("check_time_range", cwa::check_time_range(b.start, b.end), finite);
        auto data = cwa::read_cwa_data(path, std::nullopt, std::nullopt, channels);
        if (!check::expect(data.has_value(), "plain read: %s", data ? "" : data.error().display().c_str())) return;
        expect_error("filter", cwa::filter_data_by_time_range(std::move(*data), b.start, b.end), finite);
        expect_error("resampled read",
                     cwa::read_cwa_data_resampled_streaming(path, std::nullopt, std::nullopt, 30.0, channels, b.start,
                                                            b.end),
                     finite);
    }
}

// The file loses its data blocks after it was opened and measured: each road that walks the
// blocks reports the missing sector, whichever read finds it.
void file_shrinking_while_read(const std::string& dir) {
    const std::string missing = "Unexpected end of CWA data";
    const cwa::ChannelSelection channels{true, false, false, false};
    struct Case {
        const char* name;
        long reads_before;  // the signature read always comes first
        std::function<cwa::Status(const std::string&)> call;
    };
    const auto status = [](auto result) -> cwa::Status {
        if (!result) return std::unexpected(result.error());
        return {};
    };
    const Case cases[] = {
        {"seconds plan", 1,
         [&](const std::string& p) { return status(cwa::resolve_read_plan(p, {cwa::SecondsCut{1.0, 2.0}})); }},
        {"plain read", 1,
         [&](const std::string& p) { return status(cwa::read_cwa_data(p, std::nullopt, std::nullopt, channels)); }},
        {"previous packet of a range", 1,
         [&](const std::string& p) { return status(cwa::read_cwa_data(p, 3, 2, channels)); }},
        {"resampled read", 1,
         [&](const std::string& p) {
             return status(cwa::read_cwa_data_resampled_streaming(p, std::nullopt, std::nullopt, 10.0, channels,
                                                                  std::nullopt, std::nullopt));
         }},
        {"CSV pre-scan", 1,
         [&](const std::string& p) {
             return cwa::write_cwa_csv_data(p, "/dev/null", std::nullopt, std::nullopt, channels, 0);
         }},
        {"CSV rows after the pre-scan", 2,
         [&](const std::string& p) {
             return cwa::write_cwa_csv_data(p, "/dev/null", std::nullopt, std::nullopt, channels, 0);
         }},
    };
    for (const Case& c : cases) {
        shrink_path = write_recording(dir + "/shrinking.cwa", 6);
        shrink_to = cwa::metadata_size;
        shrink_after = c.reads_before;
        expect_error(c.name, c.call(shrink_path), missing);
        check::expect(shrink_after < 0, "%s: the file was never cut", c.name);
        shrink_after = -1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "times") {
        long long us;
        while (std::cin >> us) {
            const auto text = cwa::timestamp_us_to_raw_string(us);
            std::printf("%s\n", text ? text->c_str() : "none");
        }
        return 0;
    }
    if (mode != "errors" || argc < 3) {
        std::fprintf(stderr, "usage: core_edges_check times | errors SCRATCH_DIR\n");
        return 2;
    }
    const std::string dir = argv[2];
    from_buffer_checks_its_own_sector();
    parse_samples_refuses_overfull_blocks();
    empty_block_keeps_the_previous_end();
    csv_row_needs_its_selected_values();
    time_bounds_must_be_finite(write_recording(dir + "/steady.cwa", 6));
    file_shrinking_while_read(dir);
    return check::summary("core edges");
}
