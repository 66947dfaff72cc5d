// Reads one recording through every road of the core and prints what each gives: the timing
// scan, a digest of the plain read's columns, the byte count and digest of each CSV road, and
// the error texts of a missing input and an unwritable output. Built for Linux and for Windows,
// the two must print the same lines and write the same files; that is how the Windows side of
// the platform layer (files, error texts, memory) is shown to read recordings as Linux does.
//
//     platform_driver RECORDING OUTPUT_FOLDER
//
// Writes into OUTPUT_FOLDER: plain.bin (the plain read's columns, raw, one after another),
// streaming.csv, time_range.csv and resampled.csv. Exits 1 when a road that should succeed fails.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "cwa/operations.hpp"

namespace {

constexpr cwa::ChannelSelection every_channel{true, true, true, true};

// 64-bit FNV-1a: short, dependency-free and the same on every platform.
struct Digest {
    std::uint64_t state = 0xcbf29ce484222325;
    void add(const void* data, std::size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < length; ++i) state = (state ^ bytes[i]) * 0x100000001b3;
    }
};

int failed_roads = 0;

// Prints "<road>: <what>" on success, or the error's text and counts the road as failed.
template <class T, class Describe>
void report(const char* road, const cwa::Result<T>& result, Describe describe) {
    if (result) {
        std::string text;
        if constexpr (std::is_void_v<T>) {
            text = describe();
        } else {
            text = describe(*result);
        }
        std::printf("%s: %s\n", road, text.c_str());
    } else {
        std::printf("%s: FAILED %s\n", road, result.error().display().c_str());
        ++failed_roads;
    }
}

// Prints the error a road must end with; its success is the failure.
template <class T>
void report_error(const char* road, const cwa::Result<T>& result) {
    if (result) {
        std::printf("%s: FAILED by succeeding\n", road);
        ++failed_roads;
    } else {
        std::printf("%s: %s\n", road, result.error().display().c_str());
    }
}

std::string describe_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    Digest digest;
    digest.add(bytes.data(), bytes.size());
    char text[64];
    std::snprintf(text, sizeof text, "%zu bytes, fnv1a %016" PRIx64, bytes.size(), digest.state);
    return text;
}

// The columns in the order the module hands them to pandas, each named, raw bytes appended to
// `out`; the text lists the names, the row count and the digest of those bytes.
std::string describe_columns(const cwa::CwaDataResult& data, const std::string& out_path) {
    std::ofstream out(out_path, std::ios::binary);
    Digest digest;
    std::string names = "timestamp";
    const auto add = [&](const void* bytes, std::size_t length) {
        digest.add(bytes, length);
        out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(length));
    };
    add(data.timestamps_us.data(), data.size() * sizeof(std::int64_t));
    const auto add_column = [&](std::string_view name, const cwa::FloatColumn& column) {
        names += ',';
        names += name;
        add(column.data(), column.size() * sizeof(float));
    };
    for (std::size_t a = 0; a < 3; ++a) add_column(cwa::acc_channel_names[a], data.acc[a]);
    for (std::size_t c = 0; c < cwa::sensor_channel_count; ++c) {
        if (data.sensors[c]) add_column(cwa::sensor_channel_names[c], *data.sensors[c]);
    }
    for (std::size_t c = 0; c < cwa::aux_channel_count; ++c) {
        if (data.aux[c]) add_column(cwa::aux_channel_names[c], *data.aux[c]);
    }
    char text[64];
    std::snprintf(text, sizeof text, " (%zu rows), fnv1a %016" PRIx64, data.size(), digest.state);
    return names + text;
}

// Plans and runs one read as the module does, and writes it as CSV.
cwa::Status export_csv(const std::string& path, const std::string& output, cwa::CutConfig cut,
                       std::optional<double> resample_hz) {
    CWA_TRY(read, cwa::plan_read({path, std::move(cut), every_channel, resample_hz}));
    return cwa::export_csv(read, output, 0);
}

// Plans and runs one read of the whole recording as recorded.
cwa::Result<cwa::CwaDataResult> plain_read(const std::string& path) {
    CWA_TRY(read, cwa::plan_read({path, {cwa::WholeFileCut{}}, every_channel, std::nullopt}));
    return cwa::read_recording(read, std::nullopt);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: platform_driver RECORDING OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string path = argv[1], folder = std::string(argv[2]) + "/";

    report("timing scan", cwa::read_metadata(path), [](const cwa::RecordingMetadata& metadata) {
        const cwa::DataTiming& t = metadata.timing;
        char text[96];
        std::snprintf(text, sizeof text, "first %" PRId64 " last %" PRId64 " samples %" PRIu64,
                      t.first_sample_us.value_or(0), t.last_sample_us.value_or(0), t.sample_count);
        return std::string(text);
    });
    report("plain read", plain_read(path),
           [&](const cwa::CwaDataResult& data) { return describe_columns(data, folder + "plain.bin"); });

    const auto file = [&](const std::string& name) {
        return [path = folder + name] { return describe_file(path); };
    };
    report("csv streaming", export_csv(path, folder + "streaming.csv", {cwa::WholeFileCut{}}, std::nullopt),
           file("streaming.csv"));
    report("csv time range", export_csv(path, folder + "time_range.csv", {cwa::SecondsCut{90.5, 725.25}}, std::nullopt),
           file("time_range.csv"));
    report("csv resampled", export_csv(path, folder + "resampled.csv", {cwa::WholeFileCut{}}, 30.0),
           file("resampled.csv"));

    report_error("missing input", plain_read(folder + "no-such-recording.cwa"));
    report_error("unwritable output",
                 export_csv(path, folder + "no-such-folder/out.csv", {cwa::WholeFileCut{}}, std::nullopt));
    return failed_roads == 0 ? 0 : 1;
}
