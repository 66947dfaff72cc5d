#include "cwa/data_timing.hpp"

#include "cwa/bytes.hpp"
#include "cwa/input_file.hpp"
#include "cwa/packet.hpp"
#include "cwa/timing.hpp"

namespace cwa {

Result<DataTiming> scan_data_timing(const std::string& path) {
    CWA_TRY(file, InputFile::open(path));
    std::uint8_t block[metadata_size];
    CWA_CHECK(file.read_exact(block, sizeof block));
    if (load_u16(block) != metadata_signature) return fail("First block is not a metadata block");

    DataTiming timing;
    std::optional<double> previous_end;
    SectorReader reader(file);
    for (;;) {
        CWA_TRY(sector, reader.next());
        if (!sector) break;
        CWA_TRY(meta, packet_meta(sector));
        if (!meta) continue;
        const auto [natural_start, natural_end] = meta->natural_bounds();
        const double start = continuity_start(natural_start, natural_end, previous_end);
        if (!timing.first_sample_us) timing.first_sample_us = seconds_to_us(start);
        const auto n = static_cast<double>(meta->sample_count);
        // Divide then multiply: this scan's own order, which may differ from the reader's last
        // timestamp by one microsecond.
        const double q = (natural_end - start) / n;
        timing.last_sample_us = seconds_to_us((n - 1.0) * q + start);
        previous_end = natural_end;
        timing.sample_count += meta->sample_count;
    }
    return timing;
}

}  // namespace cwa
