#include "qzel_device/xio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"
#include "sim/fpga.h"

namespace qz::device {
namespace {

class RecordingTrace final : public AccessTrace {
public:
    bool enabled() const override { return on; }
    void write(std::string_view line) override { lines.emplace_back(line); }
    bool on{false};
    std::vector<std::string> lines;
};

struct BoundsCase {
    std::size_t offset;
    const char* error;  // nullptr: succeeds
};

TEST(RegisterWindow, SingleWordBoundsAndAlignment) {
    auto fpga = sim::MilanFpga::create();
    RegisterWindow window(fpga->routing(), avb::kRoutingBase, nullptr);
    const std::size_t len = window.length();
    for (const BoundsCase& c :
         {BoundsCase{0, nullptr}, BoundsCase{len - 4, nullptr},
          BoundsCase{len - 3, "index out of bounds."}, BoundsCase{len, "index out of bounds."},
          BoundsCase{2, "index not properly aligned."},
          BoundsCase{SIZE_MAX, "index out of bounds."}}) {
        SCOPED_TRACE(c.offset);
        auto written = window.write32(c.offset, 0x1234);
        auto read = window.read32(c.offset);
        if (c.error == nullptr) {
            ASSERT_TRUE(written && read);
            EXPECT_EQ(*read, 0x1234u);
        } else {
            ASSERT_FALSE(written);
            ASSERT_FALSE(read);
            EXPECT_EQ(read.error().text(), c.error);
            EXPECT_EQ(written.error().text(), c.error);
            EXPECT_EQ(read.error().kind, IoKind::AddrNotAvailable);
        }
    }
}

TEST(RegisterWindow, BlockWritesOfBothRoutingMemories) {
    auto milan = sim::MilanFpga::create();
    RegisterWindow avb_routing(milan->routing(), avb::kRoutingBase, nullptr);
    std::vector<std::uint32_t> words(32);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = 0x100 + static_cast<std::uint32_t>(i);
    }
    ASSERT_TRUE(avb_routing.write_block(0x3F80, words));
    EXPECT_EQ(milan->routing_word(0x3F80 / 4), 0x100u);
    EXPECT_EQ(milan->routing_word(0x3FFC / 4), 0x11Fu);
    EXPECT_EQ(avb_routing.write_block(0x3F84, words).error().text(), "index out of bounds.");
    EXPECT_EQ(avb_routing.write_block(0x2, words).error().text(), "index not properly aligned.");

    auto dante = sim::DanteFpga::create();
    RegisterWindow dante_routing(dante->routing(), dante::kRoutingBase, nullptr);
    std::array<std::uint16_t, 64> entries{};
    entries[0] = 0xABCD;
    entries[63] = 0x1234;
    ASSERT_TRUE(dante_routing.write_block16(0xE00 - 128, entries));
    EXPECT_EQ(dante->routing_entry((0xE00 - 128) / 2), 0xABCD);
    EXPECT_EQ(dante->routing_entry(0xE00 / 2 - 1), 0x1234);
    ASSERT_TRUE(dante_routing.write_block16(0x2, entries));  // even is enough for 16-bit entries
    EXPECT_EQ(dante_routing.write_block16(0xE00 - 126, entries).error().text(),
              "index out of bounds.");
    EXPECT_EQ(dante_routing.write_block16(0x3, entries).error().text(),
              "index not properly aligned.");
}

TEST(RegisterWindow, Control3GivesUpAfterExactly51StatusReads) {
    struct Case {
        int busy_reads;
        bool ok;
        int status_reads;
    };
    for (const Case& c :
         {Case{0, true, 1}, Case{50, true, 51}, Case{51, false, 51}, Case{-1, false, 51}}) {
        SCOPED_TRACE(c.busy_reads);
        auto fpga = sim::MilanFpga::create();
        fpga->set_control3_busy_reads(c.busy_reads);
        RegisterWindow core(fpga->core(), avb::kCoreBase, nullptr);
        auto result = core.write_control3(0x80000000);
        EXPECT_EQ(result.has_value(), c.ok);
        EXPECT_EQ(fpga->status_reads(), c.status_reads);
        ASSERT_EQ(fpga->control3_writes(), std::vector<std::uint32_t>{0x80000000});
        if (!c.ok) {
            EXPECT_EQ(result.error().text(), "Write to Control3 register took too long");
            EXPECT_EQ(result.error().kind, IoKind::TimedOut);
        }
    }
}

TEST(RegisterWindow, TraceLinesOnlyWhenTraceIsEnabled) {
    auto fpga = sim::MilanFpga::create();
    fpga->set_fixed_inputs(0xABC);
    RecordingTrace trace;
    RegisterWindow core(fpga->core(), avb::kCoreBase, &trace);
    ASSERT_TRUE(core.write32(0x000, 0xBFCA));
    ASSERT_TRUE(core.read32(0x400));
    ASSERT_TRUE(core.read64(0x180));
    EXPECT_TRUE(trace.lines.empty());

    trace.on = true;
    ASSERT_TRUE(core.write32(0x000, 0xBFCA));
    ASSERT_TRUE(core.read32(0x400));
    ASSERT_TRUE(core.read64(0x180));
    EXPECT_EQ(trace.lines,
              (std::vector<std::string>{"out_32 0x40006000: 0xBFCA", "in_32 0x40006400 0xABC",
                                        "in_64 0x40006180 0x100000000"}));
}

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/qz_xio_XXXXXX";
        fd_ = ::mkstemp(name);
        path_ = name;
        // Two pages plus a bit, so a mapping can start inside the second page.
        EXPECT_EQ(::ftruncate(fd_, 0x3000), 0);
    }
    ~TempFile() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::uint32_t word_at(off_t offset) const {
        std::uint32_t value = 0;
        EXPECT_EQ(::pread(fd_, &value, sizeof(value), offset), 4);
        return value;
    }

private:
    int fd_{-1};
    std::string path_;
};

TEST(MapFile, SharedMappingAtAnUnalignedOffsetReachesTheFile) {
    TempFile file;
    // The Dante link window is 8 bytes at an address that is not page-aligned.
    auto window = map(file.path(), 0x1014, 8);
    ASSERT_TRUE(window) << window.error().text();
    EXPECT_EQ(window->phys_base(), 0x1014u);
    ASSERT_TRUE(window->write32(4, 0xCAFEF00D));
    EXPECT_EQ(file.word_at(0x1018), 0xCAFEF00Du);
    EXPECT_FALSE(window->write32(8, 0));
    auto again = map(file.path(), 0x1000, 0x20);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again->read32(0x18), 0xCAFEF00Du);
}

TEST(MapFile, OpenFailureIsAnError) {
    auto window = map("/nonexistent/qz_mem", 0, 4);
    ASSERT_FALSE(window);
    EXPECT_EQ(window.error().kind, IoKind::Os);
}

}  // namespace
}  // namespace qz::device
