#include "python/request.hpp"

#include <utility>

#include "python/args.hpp"
#include "python/cuts.hpp"
#include "python/errors.hpp"
#include "python/timezone.hpp"

namespace kelpmoor {

std::optional<PlannedCall> plan_call(std::string path, PyObject* const* slots, bool aux_default) {
    cwa::ReadRequest request;
    request.path = std::move(path);
    cwa::ChannelSelection& channels = request.channels;
    PyObject* timezone = nullptr;  // borrowed from the call's arguments
    if (!convert_bool(slots[1], "include_magnetometer", true, channels.include_magnetometer) ||
        !convert_bool(slots[2], "include_temperature", aux_default, channels.include_temperature) ||
        !convert_bool(slots[3], "include_light", aux_default, channels.include_light) ||
        !convert_bool(slots[4], "include_battery", aux_default, channels.include_battery) ||
        !convert_optional_f64(slots[5], "resample_hz", request.resample_hz) ||
        (slots[6] && !convert_str(slots[6], "resample_method", request.resample_method)) ||
        !convert_tzinfo(slots[7], "fixed_utc_offset_timezone", timezone) || !parse_cut_config(slots[0], request.cut)) {
        return std::nullopt;
    }
    auto planned = cwa::plan_read(std::move(request));
    if (!planned) {
        raise_error(planned.error());
        return std::nullopt;
    }
    PlannedCall call{std::move(*planned), std::nullopt};
    if (!fixed_timezone_offset_us(timezone, call.offset_us)) return std::nullopt;
    return call;
}

}  // namespace kelpmoor
