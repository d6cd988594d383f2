#include "backends/port_bus_factory.h"

#include <utility>

#include "backends/devices_input.h"
#include "backends/port_bus_devices.h"
#include "backends/port_bus_none.h"
#include "backends/port_bus_raw.h"
#include "backends/port_bus_sim.h"
#include "backends/port_bus_speaker.h"

namespace telkey {
namespace {

constexpr std::string_view kPortsOption = "--ports=";
constexpr std::string_view kTraceOption = "--port-trace=";

bool TakeValue(std::string_view arg, std::string_view prefix, std::string_view& value) {
    if (!arg.starts_with(prefix)) return false;
    value = arg.substr(prefix.size());
    return true;
}

PortBusResult Failure(std::string error) {
    PortBusResult result;
    result.error = std::move(error);
    return result;
}

PortBusResult MakeSimBus(const PortBusOptions& options) {
    auto bus = std::make_unique<SimPortBus>();
    if (!options.portTrace.empty()) {
        std::string error;
        if (!bus->StartTrace(options.portTrace, error)) return Failure(error);
    }
    PortBusResult result;
    result.bus = std::move(bus);
    return result;
}

PortBusResult MakeRawBus() {
    std::string error;
    std::unique_ptr<RawPortBus> bus = RawPortBus::Open(error);
    if (!bus) return Failure(error);
    PortBusResult result;
    if (!bus->AllPorts()) {
        result.warnings.push_back(
            "raw port access covers only the addresses below 0x400; ports above it read 0xFF");
    }
    result.bus = std::move(bus);
    return result;
}

}  // namespace

bool ParsePortBusOption(std::string_view arg, PortBusOptions& options, std::string& error) {
    std::string_view value;
    if (TakeValue(arg, kPortsOption, value)) {
        if (value != "none" && value != "sim" && value != "raw" && value != "devices") {
            error = "unknown value in " + std::string(arg) +
                    " (choose --ports=none, sim, raw or devices)";
            return true;
        }
        options.ports = std::string(value);
        return true;
    }
    if (TakeValue(arg, kTraceOption, value)) {
        if (value.empty()) {
            error = "--port-trace= needs a file name";
            return true;
        }
        options.portTrace = std::string(value);
        return true;
    }
    // Devices behind the legacy registers; the devices backend checks the values.
    for (std::size_t i = 0; i < options.com.size(); ++i) {
        const std::string prefix = "--com" + std::to_string(i + 1) + "=";
        if (TakeValue(arg, prefix, value)) {
            options.com[i] = std::string(value);
            return true;
        }
    }
    for (std::size_t i = 0; i < options.lpt.size(); ++i) {
        const std::string prefix = "--lpt" + std::to_string(i + 1) + "=";
        if (TakeValue(arg, prefix, value)) {
            options.lpt[i] = std::string(value);
            return true;
        }
    }
    if (TakeValue(arg, "--gameport=", value)) {
        options.gameport = std::string(value);
        return true;
    }
    // Bad values are usage errors here, before any device is opened.
    if (TakeValue(arg, "--paddle-keys=", value)) {
        PaddleKeyCodes codes;
        if (ParsePaddleKeys(value, codes, error)) options.paddleKeys = std::string(value);
        return true;
    }
    if (TakeValue(arg, "--speaker=", value)) {
        if (CheckSpeakerOption(value, error)) options.speaker = std::string(value);
        return true;
    }
    return false;
}

PortBusResult MakePortBus(const PortBusOptions& options) {
    PortBusResult result;
    if (options.ports == "sim") {
        result = MakeSimBus(options);
    } else if (options.ports == "raw") {
        result = MakeRawBus();
    } else if (options.ports == "devices") {
        result = MakeDevicesPortBus(options);
    } else if (options.ports == "none" || options.ports.empty()) {
        result.bus = std::make_unique<NonePortBus>();
    } else {
        return Failure("unknown port backend \"" + options.ports +
                       "\" (choose --ports=none, sim, raw or devices)");
    }
    // --speaker= in front of the backends that have no speaker of their own.
    if (options.ports == "sim" || options.ports == "none" || options.ports.empty()) {
        AddSpeakerToBus(result, options);
    } else if (result.bus && options.ports == "raw" && !options.speaker.empty()) {
        result.warnings.push_back("--speaker is not used with --ports=raw: the PC speaker sounds");
    }
    if (result.bus && !options.portTrace.empty() && options.ports != "sim") {
        result.warnings.push_back("--port-trace is written only with --ports=sim; ignored");
    }
    return result;
}

}  // namespace telkey
