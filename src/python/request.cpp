#include "python/request.hpp"

#include "cwa/read.hpp"
#include "cwa/resample.hpp"
#include "python/args.hpp"
#include "python/cuts.hpp"
#include "python/errors.hpp"
#include "python/timezone.hpp"

namespace kelpmoor {

bool convert_read_arguments(PyObject* const* slots, bool aux_default, ReadRequest& request) {
    cwa::ChannelSelection& channels = request.channels;
    if (!convert_bool(slots[1], "include_magnetometer", true, channels.include_magnetometer) ||
        !convert_bool(slots[2], "include_temperature", aux_default, channels.include_temperature) ||
        !convert_bool(slots[3], "include_light", aux_default, channels.include_light) ||
        !convert_bool(slots[4], "include_battery", aux_default, channels.include_battery) ||
        !convert_optional_f64(slots[5], "resample_hz", request.resample_hz)) {
        return false;
    }
    if (slots[6] && !convert_str(slots[6], "resample_method", request.resample_method)) return false;
    return convert_tzinfo(slots[7], "fixed_utc_offset_timezone", request.timezone);
}

bool prepare_read(PyObject* cut, ReadRequest& request) {
    if (!parse_cut_config(cut, request.cut)) return false;
    auto rate = cwa::parse_resample_options(request.resample_hz, request.resample_method);
    if (!rate) {
        raise_value_error(rate.error());
        return false;
    }
    request.resample_hz = *rate;
    auto plan = cwa::resolve_read_plan(request.path, request.cut);
    if (!plan) {
        raise_runtime_error(plan.error());
        return false;
    }
    request.plan = *plan;
    return fixed_timezone_offset_us(request.timezone, request.offset_us);
}

std::optional<cwa::CwaDataResult> run_read(const ReadRequest& request) {
    const cwa::ReadPlan& plan = request.plan;
    auto result = [&]() -> cwa::Result<cwa::CwaDataResult> {
        if (request.resample_hz) {
            return cwa::read_cwa_data_resampled_streaming(request.path, plan.start_block, plan.block_count,
                                                          *request.resample_hz, request.channels,
                                                          plan.range_start_time, plan.range_end_time);
        }
        CWA_TRY(data, cwa::read_cwa_data(request.path, plan.start_block, plan.block_count, request.channels));
        return cwa::filter_data_by_time_range(std::move(data), plan.range_start_time, plan.range_end_time);
    }();
    if (!result) {
        raise_runtime_error(result.error());
        return std::nullopt;
    }
    return std::move(*result);
}

}  // namespace kelpmoor
