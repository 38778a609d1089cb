// qzel_avdecc_ctl: a command-line AVDECC controller for the card (and any AEM entity).
//
//   qzel_avdecc_ctl -i IFACE [-e ENTITY_ID] [-c CONTROLLER_ID] [-v] COMMAND [ARGS]
//
// Commands: discover [SECONDS] | enumerate | get-name TYPE INDEX [NAME_INDEX] |
// set-name TYPE INDEX NAME [NAME_INDEX] | get-rate | set-rate HZ | get-clock-source |
// set-clock-source INDEX | get-control INDEX | set-control INDEX HEXBYTES | lock | unlock |
// listen SECONDS. Exit status 0 on success, 1 on a failure (with its reason on stderr), 2 on a
// usage error.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "packet/aem_payloads.h"
#include "tools/avdecc_controller/controller.h"

namespace qz::ctl {
namespace {

using namespace packet;
using namespace packet::aem_payload;
using aem::CommandType;
using aem::DescriptorType;
using aem::Status;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: qzel_avdecc_ctl -i IFACE [-e ENTITY_ID [-m MAC]] [-c CONTROLLER_ID] [-v] COMMAND "
    "[ARGS]\n"
    "  -m MAC: the entity's address; skips discovery (needs -e)\n"
    "commands:\n"
    "  discover [SECONDS]                  list the entities that answer (default 2 s)\n"
    "  enumerate                           read every descriptor, print a summary with timings\n"
    "  get-name TYPE INDEX [NAME_INDEX]    TYPE by name (ENTITY, STREAM_INPUT, ...) or number\n"
    "  set-name TYPE INDEX NAME [NAME_INDEX]\n"
    "  get-rate | set-rate HZ              AUDIO_UNIT 0\n"
    "  get-clock-source | set-clock-source INDEX   CLOCK_DOMAIN 0\n"
    "  get-control INDEX | set-control INDEX HEX   values as hexadecimal bytes\n"
    "  lock | unlock\n"
    "  listen SECONDS                      register for notifications and print them\n";

// Every failure is a value: the reason, printed by main.
template <typename T>
using Result = std::expected<T, std::string>;

struct Options {
    std::string interface;
    std::optional<std::uint64_t> entity;
    std::optional<std::uint64_t> controller;
    std::optional<Bytes6> mac;
    bool verbose{false};
    std::vector<std::string> args;
};

std::optional<std::uint64_t> number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

Result<std::uint16_t> u16_arg(const std::string& text, std::string_view what) {
    auto value = number(text);
    if (!value || *value > 0xFFFF) {
        return std::unexpected(fmt::format("{} must be a number up to 65535: {}", what, text));
    }
    return static_cast<std::uint16_t>(*value);
}

Result<std::uint16_t> descriptor_type(const std::string& text) {
    for (std::uint16_t t = 0; t <= 0x25; ++t) {
        if (aem::descriptor_type_name(t) == text) {
            return t;
        }
    }
    return u16_arg(text, "descriptor type");
}

std::string mac_text(const Bytes6& mac) {
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", mac[0], mac[1], mac[2], mac[3],
                       mac[4], mac[5]);
}

std::string name_at(const Frame& f, std::size_t offset) {
    std::string out;
    for (std::size_t i = offset; i < f.size() && i < offset + 64 && f[i] != 0; ++i) {
        out.push_back(static_cast<char>(f[i]));
    }
    return out;
}

Status status_of(const Frame& f) {
    return static_cast<Status>(get(f, avtp::kStatus).value_or(31));
}

std::string_view status_name(Status s) {
    switch (s) {
        case Status::SUCCESS:
            return "SUCCESS";
        case Status::NOT_IMPLEMENTED:
            return "NOT_IMPLEMENTED";
        case Status::NO_SUCH_DESCRIPTOR:
            return "NO_SUCH_DESCRIPTOR";
        case Status::ENTITY_LOCKED:
            return "ENTITY_LOCKED";
        case Status::ENTITY_ACQUIRED:
            return "ENTITY_ACQUIRED";
        case Status::BAD_ARGUMENTS:
            return "BAD_ARGUMENTS";
        case Status::IN_PROGRESS:
            return "IN_PROGRESS";
        case Status::ENTITY_MISBEHAVING:
            return "ENTITY_MISBEHAVING";
        case Status::NOT_SUPPORTED:
            return "NOT_SUPPORTED";
        case Status::STREAM_IS_RUNNING:
            return "STREAM_IS_RUNNING";
    }
    return "UNKNOWN_STATUS";
}

// Sends a command and fails unless it is answered SUCCESS.
Result<Frame> checked(Controller& c, Frame frame) {
    const auto type = get(frame, aem::kCommandType).value_or(0);
    auto response = c.command(std::move(frame));
    if (!response) {
        return std::unexpected(response.error());
    }
    if (status_of(*response) != Status::SUCCESS) {
        return std::unexpected(fmt::format("{} answered {}", aem::command_type_name(type),
                                           status_name(status_of(*response))));
    }
    return *response;
}

Frame described(Controller& c, CommandType type, std::size_t payload, std::uint16_t dtype,
                std::uint16_t index) {
    auto frame = c.new_command(type, payload);
    (void)set(std::span<std::uint8_t>(frame), kDescriptorType, dtype);
    (void)set(std::span<std::uint8_t>(frame), kDescriptorIndex, index);
    return frame;
}

std::string describe_notification(const Frame& f) {
    const auto type = get(f, aem::kCommandType).value_or(0);
    const auto dtype = get(f, kDescriptorType).value_or(0);
    const auto index = get(f, kDescriptorIndex).value_or(0);
    std::string detail;
    switch (static_cast<CommandType>(type)) {
        case CommandType::SET_SAMPLING_RATE:
        case CommandType::GET_SAMPLING_RATE:
            detail = fmt::format(" rate {}", get(f, kSamplingRate).value_or(0));
            break;
        case CommandType::SET_CLOCK_SOURCE:
        case CommandType::GET_CLOCK_SOURCE:
            detail = fmt::format(" clock_source {}", get(f, kClockSourceIndex).value_or(0));
            break;
        case CommandType::SET_NAME:
            detail = fmt::format(" name_index {} name \"{}\"", get(f, kNameIndex).value_or(0),
                                 name_at(f, kNameOffset));
            break;
        case CommandType::LOCK_ENTITY:
            return fmt::format("LOCK_ENTITY flags {:#x} locked_entity_id {:#018x}",
                               get(f, kLockFlags).value_or(0), get(f, kLockedEntityId).value_or(0));
        case CommandType::SET_CONTROL:
        case CommandType::GET_CONTROL: {
            detail = " values";
            for (std::size_t i = kControlValuesOffset; i < f.size(); ++i) {
                detail += fmt::format(" {:02x}", f[i]);
            }
            break;
        }
        case CommandType::GET_COUNTERS:
            detail = fmt::format(" valid {:#010x}", get(f, kCountersValid).value_or(0));
            break;
        default:
            break;
    }
    return fmt::format("{} {} {} seq {} status {}{}", aem::command_type_name(type),
                       aem::descriptor_type_name(dtype), index,
                       get(f, aecp::kSequenceId).value_or(0), status_name(status_of(f)), detail);
}

// ---- enumeration ----

struct Child {
    std::uint16_t type;
    std::size_t count_offset;  // number_of_X, followed by base_X
};

// Where a descriptor names its children (count and base index).
std::vector<Child> children_of(std::uint16_t type) {
    switch (static_cast<DescriptorType>(type)) {
        case DescriptorType::AUDIO_UNIT:
            return {{aem::to_u16(DescriptorType::STREAM_PORT_INPUT), 72},
                    {aem::to_u16(DescriptorType::STREAM_PORT_OUTPUT), 76},
                    {aem::to_u16(DescriptorType::EXTERNAL_PORT_INPUT), 80},
                    {aem::to_u16(DescriptorType::EXTERNAL_PORT_OUTPUT), 84},
                    {aem::to_u16(DescriptorType::INTERNAL_PORT_INPUT), 88},
                    {aem::to_u16(DescriptorType::INTERNAL_PORT_OUTPUT), 92},
                    {aem::to_u16(DescriptorType::CONTROL), 96}};
        case DescriptorType::STREAM_PORT_INPUT:
        case DescriptorType::STREAM_PORT_OUTPUT:
            return {{aem::to_u16(DescriptorType::CONTROL), 8},
                    {aem::to_u16(DescriptorType::AUDIO_CLUSTER), 12},
                    {aem::to_u16(DescriptorType::AUDIO_MAP), 16}};
        case DescriptorType::EXTERNAL_PORT_INPUT:
        case DescriptorType::EXTERNAL_PORT_OUTPUT:
        case DescriptorType::INTERNAL_PORT_INPUT:
        case DescriptorType::INTERNAL_PORT_OUTPUT:
            return {{aem::to_u16(DescriptorType::CONTROL), 8}};
        case DescriptorType::JACK_INPUT:
        case DescriptorType::JACK_OUTPUT:
            return {{aem::to_u16(DescriptorType::CONTROL), 74}};
        case DescriptorType::LOCALE:
            return {{aem::to_u16(DescriptorType::STRINGS), 68}};
        default:
            return {};
    }
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

Result<int> enumerate(Controller& c, bool verbose) {
    const auto start = Clock::now();
    std::map<std::uint16_t, std::size_t> by_type;
    std::size_t bytes = 0;
    std::set<std::pair<std::uint16_t, std::uint16_t>> seen;
    std::deque<std::pair<std::uint16_t, std::uint16_t>> queue;
    std::uint16_t configuration = 0;
    auto read = [&](std::uint16_t type, std::uint16_t index) -> Result<Frame> {
        auto frame = c.new_command(CommandType::READ_DESCRIPTOR, kReadDescriptorPayload);
        std::span<std::uint8_t> out(frame);
        (void)set(out, kReadConfigurationIndex, configuration);
        (void)set(out, kReadDescriptorType, type);
        (void)set(out, kReadDescriptorIndex, index);
        auto answered = checked(c, std::move(frame));
        if (!answered) {
            return std::unexpected(answered.error());
        }
        const auto& r = *answered;
        const auto length = get(r, avtp::kControlDataLength).value_or(0);
        const std::size_t end = std::min<std::size_t>(r.size(), kControlDataOffset + length);
        if (end <= kDescriptorOffset) {
            return std::unexpected(fmt::format("descriptor {} {} came back empty",
                                               aem::descriptor_type_name(type), index));
        }
        Frame descriptor(r.begin() + kDescriptorOffset, r.begin() + static_cast<long>(end));
        ++by_type[type];
        bytes += descriptor.size();
        if (verbose) {
            std::printf("%s %u: %zu bytes\n", std::string(aem::descriptor_type_name(type)).c_str(),
                        index, descriptor.size());
        }
        return descriptor;
    };
    auto push = [&](std::uint16_t type, std::uint16_t index) {
        if (seen.insert({type, index}).second) {
            queue.emplace_back(type, index);
        }
    };
    const auto entity_read = read(aem::to_u16(DescriptorType::ENTITY), 0);
    if (!entity_read) {
        return std::unexpected(entity_read.error());
    }
    const auto& entity = *entity_read;
    seen.insert({0, 0});
    const auto name = name_at(entity, 48);
    const auto configurations = get(entity, Field<std::uint16_t>{308}).value_or(0);
    configuration = get(entity, Field<std::uint16_t>{310}).value_or(0);
    for (std::uint16_t i = 0; i < configurations; ++i) {
        push(aem::to_u16(DescriptorType::CONFIGURATION), i);
    }
    while (!queue.empty()) {
        const auto [type, index] = queue.front();
        queue.pop_front();
        if (type == aem::to_u16(DescriptorType::CONFIGURATION) && index != configuration) {
            continue;  // only the current configuration's descriptors can be read
        }
        const auto descriptor = read(type, index);
        if (!descriptor) {
            return std::unexpected(descriptor.error());
        }
        const auto& d = *descriptor;
        if (type == aem::to_u16(DescriptorType::CONFIGURATION)) {
            const auto count = get(d, Field<std::uint16_t>{70}).value_or(0);
            const auto offset = get(d, Field<std::uint16_t>{72}).value_or(74);
            for (std::size_t i = 0; i < count; ++i) {
                const auto t = get(d, Field<std::uint16_t>{offset + 4 * i});
                const auto n = get(d, Field<std::uint16_t>{offset + 4 * i + 2});
                if (!t || !n) {
                    return std::unexpected("CONFIGURATION descriptor cut short");
                }
                for (std::uint16_t k = 0; k < *n; ++k) {
                    push(*t, k);
                }
            }
        }
        for (const auto& child : children_of(type)) {
            const auto n = get(d, Field<std::uint16_t>{child.count_offset}).value_or(0);
            const auto base = get(d, Field<std::uint16_t>{child.count_offset + 2}).value_or(0);
            for (std::uint32_t k = 0; k < n && base + k <= 0xFFFF; ++k) {
                push(child.type, static_cast<std::uint16_t>(base + k));
            }
        }
    }
    const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::size_t total = 0;
    for (const auto& [type, n] : by_type) {
        total += n;
    }
    std::printf("entity %#018llx \"%s\" on %s\n",
                static_cast<unsigned long long>(c.target().entity_id), name.c_str(),
                mac_text(c.target().mac).c_str());
    for (const auto& [type, n] : by_type) {
        std::printf("  %-22s %zu\n", std::string(aem::descriptor_type_name(type)).c_str(), n);
    }
    const auto& latencies = c.latencies();
    std::printf("descriptors %zu bytes %zu time %.3f s commands %zu (%.0f/s) retries %zu\n", total,
                bytes, elapsed, latencies.size(),
                elapsed > 0 ? static_cast<double>(latencies.size()) / elapsed : 0.0, c.retries());
    std::printf("latency p50 %.0f us p99 %.0f us max %.0f us\n", percentile(latencies, 0.50),
                percentile(latencies, 0.99), percentile(latencies, 1.0));
    return 0;
}

// ---- the commands ----

Result<int> command(Controller& c, const Options& options);

std::optional<Bytes6> parse_mac(std::string_view text) {
    Bytes6 mac{};
    if (text.size() != 17) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        auto byte = number(fmt::format("0x{}", text.substr(3 * i, 2)));
        if (!byte || (i < 5 && text[3 * i + 2] != ':')) {
            return std::nullopt;
        }
        mac[i] = static_cast<std::uint8_t>(*byte);
    }
    return mac;
}

Result<int> run(const Options& options) {
    auto link = RawLink::open(options.interface);
    if (!link) {
        return std::unexpected(link.error());
    }
    const auto& mac = link->mac();
    // An EUI-64 from the interface's address unless given.
    const std::uint64_t controller_id = options.controller.value_or(
        (std::uint64_t{mac[0]} << 56) | (std::uint64_t{mac[1]} << 48) |
        (std::uint64_t{mac[2]} << 40) | (0xFFFEULL << 24) | (std::uint64_t{mac[3]} << 16) |
        (std::uint64_t{mac[4]} << 8) | mac[5]);
    Controller c(std::move(*link), controller_id);
    const auto& args = options.args;
    const auto& verb = args[0];

    if (verb == "discover") {
        const auto seconds =
            args.size() > 1 ? u16_arg(args[1], "seconds") : Result<std::uint16_t>{2};
        if (!seconds) {
            return std::unexpected(seconds.error());
        }
        auto found = c.discover(std::chrono::seconds(*seconds));
        if (!found) {
            return std::unexpected(found.error());
        }
        for (const auto& e : *found) {
            std::printf(
                "entity %#018llx model %#018llx mac %s interface %u talkers %u listeners %u "
                "grandmaster %#018llx\n",
                static_cast<unsigned long long>(e.entity_id),
                static_cast<unsigned long long>(e.entity_model_id), mac_text(e.mac).c_str(),
                e.interface_index, e.talker_sources, e.listener_sinks,
                static_cast<unsigned long long>(e.grandmaster));
        }
        if (found->empty()) {
            return std::unexpected("no entity answered");
        }
        return 0;
    }

    // Every other command talks to one entity: the one named, or the first that answers.
    if (options.entity && options.mac) {
        DiscoveredEntity known;
        known.entity_id = *options.entity;
        known.mac = *options.mac;
        c.set_target(known);
        return command(c, options);
    }
    // An entity answers a discover after a random delay of a few seconds at most.
    auto is_target = [&](const DiscoveredEntity& e) {
        return !options.entity || e.entity_id == *options.entity;
    };
    auto found = c.discover(std::chrono::seconds(10), is_target);
    if (!found) {
        return std::unexpected(found.error());
    }
    const auto target = std::find_if(found->begin(), found->end(), is_target);
    if (target == found->end()) {
        return std::unexpected(options.entity
                                   ? fmt::format("entity {:#018x} not found", *options.entity)
                                   : std::string("no entity answered"));
    }
    c.set_target(*target);
    return command(c, options);
}

// Prints the response's view of the item, or says why there is none.
Result<int> command(Controller& c, const Options& options) {
    const auto& args = options.args;
    const auto& verb = args[0];
    if (verb == "enumerate") {
        return enumerate(c, options.verbose);
    }
    // The arguments after the command word, checked for number.
    auto arg_u16 = [&](std::size_t i, std::string_view what) -> Result<std::uint16_t> {
        if (i >= args.size()) {
            return std::unexpected(fmt::format("{} needs {}\n{}", verb, what, kUsage));
        }
        return u16_arg(args[i], what);
    };
    auto print_or_fail = [](Result<Frame> r, auto&& print) -> Result<int> {
        if (!r) {
            return std::unexpected(r.error());
        }
        print(*r);
        return 0;
    };
    const auto audio_unit = aem::to_u16(DescriptorType::AUDIO_UNIT);
    const auto clock_domain = aem::to_u16(DescriptorType::CLOCK_DOMAIN);
    const auto control = aem::to_u16(DescriptorType::CONTROL);
    auto print_name = [](const Frame& r) { std::printf("%s\n", name_at(r, kNameOffset).c_str()); };

    if (verb == "get-name" || verb == "set-name") {
        const bool setting = verb == "set-name";
        if (args.size() < (setting ? 4U : 3U)) {
            return std::unexpected(
                fmt::format("{} needs TYPE INDEX{}\n{}", verb, setting ? " NAME" : "", kUsage));
        }
        const auto type = descriptor_type(args[1]);
        const auto index = arg_u16(2, "index");
        const std::size_t name_index_arg = setting ? 4 : 3;
        const auto name_index = args.size() > name_index_arg ? arg_u16(name_index_arg, "name index")
                                                             : Result<std::uint16_t>{0};
        if (!type || !index || !name_index) {
            return std::unexpected(!type    ? type.error()
                                   : !index ? index.error()
                                            : name_index.error());
        }
        auto frame = described(c, setting ? CommandType::SET_NAME : CommandType::GET_NAME,
                               setting ? kNamePayload : 8, *type, *index);
        (void)set(std::span<std::uint8_t>(frame), kNameIndex, *name_index);
        if (setting) {
            if (args[3].size() > kNameBytes) {
                return std::unexpected("a name holds at most 64 bytes");
            }
            std::copy(args[3].begin(), args[3].end(), frame.begin() + kNameOffset);
        }
        return print_or_fail(checked(c, std::move(frame)), print_name);
    }
    if (verb == "get-rate" || verb == "set-rate") {
        const bool setting = verb == "set-rate";
        auto frame =
            described(c, setting ? CommandType::SET_SAMPLING_RATE : CommandType::GET_SAMPLING_RATE,
                      kSamplingRatePayload, audio_unit, 0);
        if (setting) {
            const auto hz = args.size() > 1 ? number(args[1]) : std::nullopt;
            if (!hz || *hz > 0xFFFFFFFF) {
                return std::unexpected(fmt::format("set-rate needs a rate in Hz\n{}", kUsage));
            }
            (void)set(std::span<std::uint8_t>(frame), kSamplingRate,
                      static_cast<std::uint32_t>(*hz));
        }
        return print_or_fail(checked(c, std::move(frame)), [](const Frame& r) {
            std::printf("%u\n", get(r, kSamplingRate).value_or(0));
        });
    }
    if (verb == "get-clock-source" || verb == "set-clock-source") {
        const bool setting = verb == "set-clock-source";
        auto frame =
            described(c, setting ? CommandType::SET_CLOCK_SOURCE : CommandType::GET_CLOCK_SOURCE,
                      kClockSourcePayload, clock_domain, 0);
        if (setting) {
            const auto source = arg_u16(1, "a clock source index");
            if (!source) {
                return std::unexpected(source.error());
            }
            (void)set(std::span<std::uint8_t>(frame), kClockSourceIndex, *source);
        }
        return print_or_fail(checked(c, std::move(frame)), [](const Frame& r) {
            std::printf("%u\n", get(r, kClockSourceIndex).value_or(0));
        });
    }
    if (verb == "get-control" || verb == "set-control") {
        const bool setting = verb == "set-control";
        const auto index = arg_u16(1, "a control index");
        if (!index) {
            return std::unexpected(index.error());
        }
        std::vector<std::uint8_t> values;
        if (setting) {
            const std::string hex = args.size() > 2 ? args[2] : std::string();
            if (hex.empty() || hex.size() % 2 != 0) {
                return std::unexpected("control values are pairs of hexadecimal digits");
            }
            for (std::size_t i = 0; i < hex.size(); i += 2) {
                auto byte = number("0x" + hex.substr(i, 2));
                if (!byte) {
                    return std::unexpected(fmt::format("not hexadecimal: {}", hex));
                }
                values.push_back(static_cast<std::uint8_t>(*byte));
            }
        }
        auto frame = described(c, setting ? CommandType::SET_CONTROL : CommandType::GET_CONTROL,
                               4 + values.size(), control, *index);
        std::copy(values.begin(), values.end(), frame.begin() + kControlValuesOffset);
        return print_or_fail(checked(c, std::move(frame)), [](const Frame& r) {
            std::string out;
            for (std::size_t i = kControlValuesOffset; i < r.size(); ++i) {
                out += fmt::format("{:02x}", r[i]);
            }
            std::printf("%s\n", out.c_str());
        });
    }
    if (verb == "lock" || verb == "unlock") {
        auto frame = c.new_command(CommandType::LOCK_ENTITY, kLockPayload);
        (void)set(std::span<std::uint8_t>(frame), kLockFlags,
                  verb == "unlock" ? std::uint32_t{1} : std::uint32_t{0});
        auto response = c.command(std::move(frame));
        if (!response) {
            return std::unexpected(response.error());
        }
        const auto holder = get(*response, kLockedEntityId).value_or(0);
        if (status_of(*response) != Status::SUCCESS) {
            return std::unexpected(fmt::format("LOCK_ENTITY answered {} (locked by {:#018x})",
                                               status_name(status_of(*response)), holder));
        }
        fmt::print("locked_entity_id {:#018x}\n", holder);
        return 0;
    }
    if (verb == "listen") {
        const auto seconds = arg_u16(1, "a duration in seconds");
        if (!seconds) {
            return std::unexpected(seconds.error());
        }
        if (auto registered =
                checked(c, c.new_command(CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0));
            !registered) {
            return std::unexpected(registered.error());
        }
        fmt::print("registered with {:#018x} for {} s\n", c.target().entity_id, *seconds);
        std::fflush(stdout);
        std::size_t count = 0;
        auto listened = c.listen(std::chrono::seconds(*seconds), [&](const Frame& f) {
            ++count;
            std::printf("notification %s\n", describe_notification(f).c_str());
            std::fflush(stdout);
        });
        if (!listened) {
            return std::unexpected(listened.error());
        }
        if (auto deregistered =
                checked(c, c.new_command(CommandType::DEREGISTER_UNSOLICITED_NOTIFICATION, 0));
            !deregistered) {
            return std::unexpected(deregistered.error());
        }
        std::printf("%zu notifications\n", count);
        return 0;
    }
    return std::unexpected(fmt::format("unknown command: {}\n{}", verb, kUsage));
}

}  // namespace
}  // namespace qz::ctl

int main(int argc, char** argv) {
    using namespace qz::ctl;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qzel_avdecc_ctl: %s needs a value\n%s", arg.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "-i") {
            options.interface = value();
        } else if (arg == "-e" || arg == "-c") {
            const auto text = value();
            auto id = number(text);
            if (!id) {
                std::fprintf(stderr, "qzel_avdecc_ctl: not an id: %s\n", text.c_str());
                return 2;
            }
            (arg == "-e" ? options.entity : options.controller) = *id;
        } else if (arg == "-m") {
            const auto text = value();
            options.mac = parse_mac(text);
            if (!options.mac) {
                std::fprintf(stderr, "qzel_avdecc_ctl: not a MAC address: %s\n", text.c_str());
                return 2;
            }
        } else if (arg == "-v") {
            options.verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            std::printf("%s", kUsage);
            return 0;
        } else {
            options.args.push_back(arg);
        }
    }
    if (options.interface.empty() || options.args.empty()) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    auto result = run(options);
    if (!result) {
        std::fprintf(stderr, "qzel_avdecc_ctl: error: %s\n", result.error().c_str());
        return 1;
    }
    return *result;
}
