#include "fuzz_support.hpp"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "cwa/input_file.hpp"
#include "cwa/packet.hpp"

namespace fuzz {

namespace {

std::string recording_path() {
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    return std::string(folder ? folder : "/tmp") + "/kelpmoor-fuzz-" + std::to_string(getpid()) + ".cwa";
}

}  // namespace

const std::string& write_recording(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        std::string p = recording_path();
        std::atexit([] { unlink(recording_path().c_str()); });
        return p;
    }();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) finding("cannot create the recording file");
    for (std::size_t done = 0; done < size;) {
        const ssize_t wrote = write(fd, data + done, size - done);
        if (wrote <= 0) finding("cannot write the recording file");
        done += static_cast<std::size_t>(wrote);
    }
    close(fd);
    return path;
}

Options::Options(const std::uint8_t*& data, std::size_t& size, std::size_t count) {
    count = std::min({count, size, sizeof bytes_});
    std::copy(data, data + count, bytes_);
    data += count;
    size -= count;
}

cwa::CutConfig Options::cut() const {
    const auto bound = [](std::uint8_t b) -> std::optional<std::size_t> {
        if (b == 0xFF) return std::nullopt;
        return b;
    };
    const auto seconds = [](std::optional<std::size_t> quarters) -> std::optional<double> {
        if (!quarters) return std::nullopt;
        return static_cast<double>(*quarters) * 0.25;
    };
    const auto start = bound(byte(1)), end = bound(byte(2));
    switch (byte(0) & 3) {
        case 1: return {cwa::SecondsCut{seconds(start), seconds(end)}};
        case 2: return {cwa::BlocksCut{start, end}};
        case 3: return {cwa::SecondsCut{}};
        default: return {cwa::WholeFileCut{}};
    }
}

cwa::ChannelSelection Options::channels() const {
    const std::uint8_t b = byte(0);
    return {(b & 4) != 0, (b & 8) != 0, (b & 16) != 0, (b & 32) != 0};
}

cwa::ReadRequest Options::request(const std::string& path, std::optional<double> rate) const {
    cwa::ReadRequest request;
    request.path = path;
    request.cut = cut();
    request.channels = channels();
    request.resample_hz = rate;
    return request;
}

void check_columns(const cwa::CwaDataResult& result, const cwa::ChannelSelection& channels) {
    const std::size_t rows = result.size();
    for (const auto& column : result.acc) {
        if (column.size() != rows) finding("accelerometer column length");
    }
    for (const auto& column : result.sensors) {
        if (column && column->size() != rows) finding("sensor column length");
    }
    for (std::size_t c = 0; c < cwa::aux_channel_count; ++c) {
        if (result.aux[c].has_value() != channels.includes_aux(c)) finding("auxiliary column presence");
        if (result.aux[c] && result.aux[c]->size() != rows) finding("auxiliary column length");
    }
}

double resampled_rows_bound(const std::uint8_t* data, std::size_t size, double rate_hz) {
    double earliest = 0, latest = 0;
    bool any = false;
    for (std::size_t at = cwa::metadata_size; at + cwa::sector_size <= size; at += cwa::sector_size) {
        const auto meta = cwa::packet_meta(data + at);
        if (!meta || !*meta) continue;
        const auto [start, end] = (*meta)->natural_bounds();
        earliest = any ? std::min(earliest, start) : start;
        latest = any ? std::max(latest, end) : end;
        any = true;
    }
    return any ? (latest - earliest + 1.0) * rate_hz : 0.0;
}

}  // namespace fuzz
