// read_metadata and sampling_consistency_report: the metadata block, the header-only timing
// scan of the data blocks, and the texts of the times they find.
#include <cstring>

#include "cwa/datetime.hpp"
#include "cwa/operations.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Any 64-bit microsecond count must give a text or nothing.
    if (size >= sizeof(std::int64_t)) {
        std::int64_t us;
        std::memcpy(&us, data, sizeof us);
        (void)cwa::timestamp_us_to_raw_string(us);
    }
    const std::string& path = fuzz::write_recording(data, size);
    if (auto metadata = cwa::read_metadata(path)) {
        const cwa::CwaHeader& header = metadata->header;
        for (const auto& time : {header.logging_start_time, header.logging_end_time, header.last_change_time}) {
            if (time) (void)cwa::format_raw_time(*time);
        }
    }
    if (auto report = cwa::sampling_consistency_report(path)) {
        if (report->data_first_us.has_value() != report->data_last_us.has_value()) {
            fuzz::finding("first and last sample times found apart");
        }
        if (report->data_first_us) {
            (void)cwa::timestamp_us_to_raw_string(*report->data_first_us);
            (void)cwa::timestamp_us_to_raw_string(*report->data_last_us);
        }
    }
    return 0;
}
