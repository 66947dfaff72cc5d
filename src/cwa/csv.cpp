// Numbers are formatted straight into the output buffer: each record first claims room for the
// longest row its columns could produce, so the formatting never checks bounds and a row
// costs no allocation. The buffer spills to the file only between records.
#include "cwa/csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cwa/cancel.hpp"
#include "cwa/block_walker.hpp"
#include "cwa/decoded_block.hpp"
#include "cwa/fixed_format.hpp"
#include "cwa/platform/file.hpp"
#include "cwa/read.hpp"
#include "cwa/timing.hpp"

namespace cwa {

namespace {

constexpr std::size_t max_record_chars =
    fixed4_f64_max_chars + (3 + sensor_channel_count + aux_channel_count) * (1 + fixed6_f32_max_chars) + 1;

constexpr const char* aux_missing_messages[aux_channel_count] = {
    "Temperature requested but unavailable",
    "Light requested but unavailable",
    "Battery requested but unavailable",
};

// A failed record write reports the system's text alone, without the I/O prefix.
CwaError record_write_error(int code) { return CwaError::message(CwaError::os_error_text(code)); }

inline char* put_field(char* out, float value) {
    *out = ',';
    return write_fixed6(out + 1, value);
}

}  // namespace

CsvWriter::CsvWriter(OutputFile file) : file_(std::move(file)), buffer_(new char[buffer_size]) {}

CsvWriter::~CsvWriter() {
    if (file_.writes_in_place()) drain();
}

int CsvWriter::drain() noexcept {
    if (used_ == 0) return 0;
    const auto [wrote, code] = file_.write_all(buffer_.get(), used_);
    std::memmove(buffer_.get(), buffer_.get() + wrote, used_ - wrote);
    used_ -= wrote;
    return code;
}

Result<int> CsvWriter::drain_unless_cancelled() {
    for (;;) {
        const int code = drain();
        if (code != EINTR) return code;
        CWA_CHECK(check_cancelled());
    }
}

Status CsvWriter::spill() {
    CWA_TRY(code, drain_unless_cancelled());
    if (code != 0) return fail(record_write_error(code));
    return {};
}

Status CsvWriter::finish() {
    CWA_TRY(code, drain_unless_cancelled());
    if (code != 0) return fail(CwaError::io_from_errno(code));
    return file_.commit();
}

Status CsvWriter::write_record(const std::vector<std::string_view>& fields) {
    std::size_t length = fields.size();
    for (std::string_view field : fields) length += field.size();
    if (length > buffer_size) internal_fault("CSV record longer than the output buffer");
    CWA_TRY(out, record_space(length));
    for (std::string_view field : fields) {
        out = std::copy(field.begin(), field.end(), out);
        *out++ = ',';
    }
    out[-1] = '\n';
    commit(out);
    return {};
}

std::vector<std::string_view> csv_header(const ChannelSelection& channels, bool include_gyro, bool include_mag) {
    std::vector<std::string_view> names{"time"};
    names.insert(names.end(), std::begin(acc_channel_names), std::end(acc_channel_names));
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        if (c < 3 ? include_gyro : include_mag) names.emplace_back(sensor_channel_names[c]);
    }
    for (std::size_t c = 0; c < aux_channel_count; ++c) {
        if (channels.includes_aux(c)) names.emplace_back(aux_channel_names[c]);
    }
    return names;
}

Status write_csv_row(CsvWriter& writer, const CsvColumns& columns, const CsvRow& row) {
    // The roads fill every selected value; a row without one would be read from an empty optional.
    for (std::size_t c = 0; c < aux_channel_count; ++c) {
        if (columns.channels.includes_aux(c) && !row.aux[c]) return fail(aux_missing_messages[c]);
    }
    CWA_TRY(out, writer.record_space(max_record_chars));
    out = write_fixed4(out, us_to_seconds(row.time_us));
    for (float value : row.acc) out = put_field(out, value);
    if (columns.gyro) {
        for (std::size_t c = 0; c < 3; ++c) out = put_field(out, row.sensors[c]);
    }
    if (columns.mag) {
        for (std::size_t c = 3; c < 6; ++c) out = put_field(out, row.sensors[c]);
    }
    for (std::size_t c = 0; c < aux_channel_count; ++c) {
        if (columns.channels.includes_aux(c)) out = put_field(out, *row.aux[c]);
    }
    *out++ = '\n';
    writer.commit(out);
    return {};
}

Status write_data_result_csv(const std::string& output_path, const CwaDataResult& result,
                             const ChannelSelection& channels, std::int64_t utc_offset_us) {
    CWA_TRY(file, OutputFile::create(output_path));
    CsvWriter writer(std::move(file));
    const CsvColumns columns{result.sensors[0].has_value(), result.sensors[3].has_value(), channels};
    CWA_CHECK(writer.write_record(csv_header(channels, columns.gyro, columns.mag)));

    const float* sensors[sensor_channel_count];
    for (std::size_t c = 0; c < sensor_channel_count; ++c) {
        sensors[c] = result.sensors[c] ? result.sensors[c]->data() : nullptr;
    }
    const float* aux[aux_channel_count];
    for (std::size_t c = 0; c < aux_channel_count; ++c) aux[c] = result.aux[c] ? result.aux[c]->data() : nullptr;

    CsvRow row;
    // Sixteen thousand rows print in a few milliseconds even on a busy machine.
    CancelPoll cancel_poll(1 << 14);
    for (std::size_t r = 0; r < result.size(); ++r) {
        CWA_CHECK(cancel_poll.tick());
        row.time_us = subtract_offset(result.timestamps_us[r], utc_offset_us);
        for (std::size_t a = 0; a < 3; ++a) row.acc[a] = result.acc[a][r];
        for (std::size_t c = 0; c < sensor_channel_count; ++c) {
            row.sensors[c] = sensors[c] ? sensors[c][r] : missing_value;
        }
        for (std::size_t c = 0; c < aux_channel_count; ++c) {
            row.aux[c] = aux[c] ? std::optional(aux[c][r]) : std::nullopt;
        }
        CWA_CHECK(write_csv_row(writer, columns, row));
    }
    return writer.finish();
}

Status write_cwa_csv_data(const std::string& file_path, const std::string& output_path,
                          std::optional<std::size_t> start_block, std::optional<std::size_t> block_count,
                          const ChannelSelection& channels, std::int64_t utc_offset_us) {
    CWA_TRY(cursor, open_cwa_data_blocks(file_path, start_block, block_count));

    // The header must name the gyroscope and magnetometer columns before the first row, so the
    // format bytes of the whole range are seen first. Walking every block also meets any damaged
    // packet before the output exists.
    bool include_gyro = false;
    bool include_mag = false;
    {
        BlockWalker scan(cursor);
        for (;;) {
            CWA_TRY(block, scan.next_block());
            if (!block) break;
            // The rule decoding uses, so that the header names exactly the columns rows fill.
            const std::uint8_t format = block->num_axes_bps;
            include_gyro = include_gyro || writes_sensor_channel(format, channels.include_magnetometer, 0);
            include_mag = include_mag || writes_sensor_channel(format, channels.include_magnetometer, 3);
        }
    }
    CWA_CHECK(cursor.file.seek(data_block_offset(cursor.start_block)));

    CWA_TRY(file, OutputFile::create(output_path));
    CsvWriter writer(std::move(file));
    const CsvColumns columns{include_gyro, include_mag, channels};
    CWA_CHECK(writer.write_record(csv_header(channels, include_gyro, include_mag)));

    BlockWalker walker(cursor);
    DecodedBlock decoded;
    CsvRow row;
    for (;;) {
        CWA_TRY(block, walker.next_block());
        if (!block) break;
        CWA_CHECK(decode_block(*block, channels.include_magnetometer, cursor.previous_end, decoded));
        for (std::size_t c = 0; c < aux_channel_count; ++c) row.aux[c] = decoded.aux.values[c];
        for (std::size_t i = 0; i < decoded.count; ++i) {
            row.time_us = subtract_offset(decoded.timestamps_us[i], utc_offset_us);
            for (std::size_t a = 0; a < 3; ++a) row.acc[a] = decoded.acc[a][i];
            for (std::size_t c = 0; c < sensor_channel_count; ++c) row.sensors[c] = decoded.sensors[c][i];
            CWA_CHECK(write_csv_row(writer, columns, row));
        }
    }
    return writer.finish();
}

Status check_output_is_not_input(const std::string& file_path, const std::string& output_path) {
    // A path with a NUL fails when it is opened; the system would see only its prefix here.
    if (file_path.find('\0') != std::string::npos || output_path.find('\0') != std::string::npos) return {};
    if (platform::same_file(file_path, output_path)) {
        return fail("output_path must not name the input recording file_path");
    }
    return {};
}

}  // namespace cwa
