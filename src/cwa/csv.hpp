// CSV export: the fixed dialect (",", LF, never quoted), the columns, and the writers for a
// finished read and for the block-by-block stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cwa/error.hpp"
#include "cwa/output_file.hpp"
#include "cwa/data_result.hpp"

namespace cwa {

// Records go into one 16 MiB buffer, which reaches the file in large sequential writes. A
// writer dropped before finish() (on an error path) leaves nothing where the export would have
// been put in place; one writing straight to a device or pipe writes out what it holds,
// ignoring errors, so the reader gets the rows produced before the failure.
class CsvWriter {
public:
    static constexpr std::size_t buffer_size = std::size_t{1} << 24;

    explicit CsvWriter(OutputFile file);
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;
    ~CsvWriter();

    // Space for one record of at most `length` bytes, spilling the buffer first when it lacks
    // room. A spill failure is the system's text as a message, the way a record write reports.
    Result<char*> record_space(std::size_t length) {
        if (buffer_size - used_ < length) CWA_CHECK(spill());
        return buffer_.get() + used_;
    }
    // Keeps the bytes written into record_space() up to `end`.
    void commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_.get()); }

    Status write_record(const std::vector<std::string_view>& fields);
    // The final flush, then the file is put in place; a failure of either is the I/O kind.
    Status finish();

private:
    // Writes the buffer out; on failure keeps what did not reach the file.
    int drain() noexcept;
    // Drains, carrying on after a signal unless the call should stop: 0 or the errno that stopped it.
    Result<int> drain_unless_cancelled();
    Status spill();

    OutputFile file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
};

// Which optional columns a file has, decided once per file.
struct CsvColumns {
    bool gyro;
    bool mag;
    ChannelSelection channels;  // temperature, light and battery flags
};

std::vector<std::string_view> csv_header(const ChannelSelection& channels, bool include_gyro, bool include_mag);

// One data row. An absent gyroscope or magnetometer value is NaN, which prints as an absent
// value does; the auxiliary values stay optional because a selected column without a value is
// an error, not a NaN.
struct CsvRow {
    std::int64_t time_us;  // UTC offset already subtracted
    std::array<float, 3> acc;
    std::array<float, sensor_channel_count> sensors;
    std::array<std::optional<float>, aux_channel_count> aux;
};

Status write_csv_row(CsvWriter& writer, const CsvColumns& columns, const CsvRow& row);

// Writes a finished read; `utc_offset_us` is subtracted from every timestamp (0 for none).
Status write_data_result_csv(const std::string& output_path, const CwaDataResult& result,
                             const ChannelSelection& channels, std::int64_t utc_offset_us);

// Streams a block range to CSV: a pre-scan of the format bytes decides the gyroscope and
// magnetometer columns, then every block is decoded and written as it is read, so memory does
// not grow with the recording. The output is created only after the pre-scan.
Status write_cwa_csv_data(const std::string& file_path, const std::string& output_path,
                          std::optional<std::size_t> start_block, std::optional<std::size_t> block_count,
                          const ChannelSelection& channels, std::int64_t utc_offset_us);

// Refuses an output path that names the input recording itself (any link or spelling of it):
// the export would replace the recording it reads (or, written in place, truncate it first).
Status check_output_is_not_input(const std::string& file_path, const std::string& output_path);

}  // namespace cwa
