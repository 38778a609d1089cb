// qzel_host_ctl: the host's side of the card's parallel control interface, for a daemon running
// on the simulated card (its host-link socket). Prints every report word it receives, decoded.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/host_ctl/host_link.h"

namespace {

using namespace qz;
using namespace std::chrono_literals;
using device::ControlWord;
using device::MessageType;

constexpr auto kGet = static_cast<std::uint8_t>(device::Op::Get);
constexpr auto kSet = static_cast<std::uint8_t>(device::Op::Set);

int usage() {
    std::fprintf(stderr,
                 "usage: qzel_host_ctl SOCKET COMMAND\n"
                 "  get rate|clock|refclock|settings|status|static|ip\n"
                 "  get clockstates|routing|inputformats|outputformats [INDEX]\n"
                 "  set rate HZ|CODE       set clock CODE\n"
                 "  set options [wordclock=on|off] [madi56=on|off] [smux=on|off]\n"
                 "  set routing INDEX VALUE\n"
                 "  identify on|off        factory-reset        internal 0x10\n"
                 "  ssh-key FILE           monitor [SECONDS]\n"
                 "  bench-rate COUNT       (host rate changes: time to the rate report)\n");
    return 2;
}

std::uint8_t type(MessageType t) {
    return static_cast<std::uint8_t>(t);
}

std::optional<long> number(const std::string& text) {
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used, 0);
        return used == text.size() ? std::optional(value) : std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

int print_reports(host_ctl::HostLink& link, std::chrono::milliseconds quiet) {
    auto words = link.receive(quiet);
    if (!words) {
        std::fprintf(stderr, "%s\n", words.error().c_str());
        return 1;
    }
    for (auto raw : *words) {
        std::printf("%s\n", host_ctl::describe(raw).c_str());
    }
    return 0;
}

std::optional<std::vector<ControlWord>> command_words(const std::vector<std::string>& args) {
    static const std::map<std::string, MessageType> kGets{
        {"rate", MessageType::SamplingRate},
        {"clock", MessageType::Clock},
        {"refclock", MessageType::RefClock},
        {"settings", MessageType::MiscSettings},
        {"status", MessageType::MiscStatus},
        {"static", MessageType::StaticInfo},
        {"ip", MessageType::IpConfig},
        {"clockstates", MessageType::ClockStates},
        {"routing", MessageType::BlockRouting},
        {"inputformats", MessageType::AvbInputStreamFormat},
        {"outputformats", MessageType::AvbOutputStreamFormat}};
    const auto& verb = args[0];
    if (verb == "get" && args.size() >= 2 && kGets.contains(args[1])) {
        const auto index = args.size() > 2 ? number(args[2]) : std::optional<long>(0);
        if (!index || *index < 0 || *index > 255) {
            return std::nullopt;
        }
        return std::vector{
            ControlWord{type(kGets.at(args[1])), static_cast<std::uint8_t>(*index), 0, kGet}};
    }
    if (verb == "set" && args.size() >= 3 && args[1] == "rate") {
        static constexpr long kRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};
        auto value = number(args[2]);
        if (!value) {
            return std::nullopt;
        }
        const auto hz = std::find(std::begin(kRates), std::end(kRates), *value);
        const long code = hz != std::end(kRates) ? hz - std::begin(kRates) : *value;
        return std::vector{ControlWord{1, 1, static_cast<std::uint16_t>(code), kSet}};
    }
    if (verb == "set" && args.size() >= 3 && args[1] == "clock") {
        auto value = number(args[2]);
        if (!value || *value < 0 || *value > 0xFFFF) {
            return std::nullopt;
        }
        return std::vector{ControlWord{2, 1, static_cast<std::uint16_t>(*value), kSet}};
    }
    if (verb == "set" && args.size() >= 2 && args[1] == "options") {
        std::uint16_t value = 0;
        for (std::size_t i = 2; i < args.size(); ++i) {
            const auto eq = args[i].find('=');
            if (eq == std::string::npos) {
                return std::nullopt;
            }
            const auto name = args[i].substr(0, eq);
            const bool on = args[i].substr(eq + 1) == "on";
            const int bit = name == "wordclock" ? 0
                            : name == "madi56"  ? 2
                            : name == "smux"    ? 3
                                                : -1;
            if (bit < 0) {
                return std::nullopt;
            }
            value |= static_cast<std::uint16_t>((1u << (bit + 8)) | (on ? 1u << bit : 0u));
        }
        return std::vector{ControlWord{5, 1, value, kSet}};
    }
    if (verb == "set" && args.size() >= 4 && args[1] == "routing") {
        auto index = number(args[2]);
        auto value = number(args[3]);
        if (!index || !value || *index < 0 || *index > 255 || *value < 0 || *value > 0xFFFF) {
            return std::nullopt;
        }
        return std::vector{ControlWord{8, static_cast<std::uint8_t>(*index),
                                       static_cast<std::uint16_t>(*value), kSet}};
    }
    if (verb == "identify" && args.size() >= 2) {
        const std::uint16_t value = args[1] == "on" ? 0x0202 : 0x0200;
        return std::vector{ControlWord{5, 1, value, kSet}};
    }
    if (verb == "factory-reset") {
        return std::vector{ControlWord{15, 1, 0, kSet}};
    }
    if (verb == "internal" && args.size() >= 2) {
        auto index = number(args[1]);
        if (!index || *index < 0 || *index > 255) {
            return std::nullopt;
        }
        return std::vector{ControlWord{14, static_cast<std::uint8_t>(*index), 0, kSet}};
    }
    if (verb == "ssh-key" && args.size() >= 2) {
        std::ifstream file(args[1], std::ios::binary);
        if (!file) {
            return std::nullopt;
        }
        std::stringstream content;
        content << file.rdbuf();
        return host_ctl::ssh_key_words(content.str());
    }
    return std::nullopt;
}

int bench_rate(host_ctl::HostLink& link, int count) {
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const std::uint16_t code = (i % 2 == 0) ? 4 : 2;  // 96000 and 48000 in turn
        const auto sent = std::chrono::steady_clock::now();
        if (auto ok = link.send({1, 1, code, kSet}); !ok) {
            std::fprintf(stderr, "%s\n", ok.error().c_str());
            return 1;
        }
        for (;;) {
            auto word = link.wait_for(1, 1, 2000ms);
            if (!word || !*word) {
                std::fprintf(stderr, "no rate report\n");
                return 1;
            }
            if ((*word)->value == code) {
                break;
            }
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent)
                .count());
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&micros](double q) {
        return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
    };
    std::printf(
        "host rate set to rate report over %d changes: p50 %.0f us, p99 %.0f us, max %.0f us\n",
        count, at(0.5), at(0.99), micros.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    auto link = host_ctl::HostLink::connect(argv[1]);
    if (!link) {
        std::fprintf(stderr, "%s\n", link.error().c_str());
        return 1;
    }
    if (args[0] == "monitor") {
        const auto seconds = args.size() > 1 ? number(args[1]).value_or(5) : 5;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (print_reports(*link, 100ms) != 0) {
                return 1;
            }
            std::fflush(stdout);
        }
        return 0;
    }
    if (args[0] == "bench-rate") {
        const auto count = args.size() > 1 ? number(args[1]).value_or(200) : 200;
        return bench_rate(*link, static_cast<int>(count));
    }
    auto words = command_words(args);
    if (!words) {
        return usage();
    }
    for (const auto& word : *words) {
        if (auto sent = link->send(word); !sent) {
            std::fprintf(stderr, "%s\n", sent.error().c_str());
            return 1;
        }
    }
    return print_reports(*link, 300ms);
}
