// Calibration parameter files: open and verify both layouts, hand blocks to
// the parser callback, refuse damaged files with their message (never a
// crash or an allocation of what a damaged size claims), and build the
// per-device file names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kavro_param.h"
#include "kavro_param_internal.h"
#include "log_file_capture.h"
#include "param_file_builder.h"

using kavro_test::build_param_file;
using kavro_test::get_le32;
using kavro_test::param_file_seal_header;
using kavro_test::param_pattern;
using kavro_test::ParamBlock;
using kavro_test::ParamFileDesc;
using kavro_test::put_f64;
using kavro_test::put_le16;
using kavro_test::put_le32;
using kavro_test::write_param_file;
using O = kavro_test::ParamFileOffsets;

namespace {

std::string test_name() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string n = std::string(info->test_suite_name()) + "_" + info->name();
    for (char &c : n)
        if (c == '/') c = '_';
    return n;
}

// A private folder for the files the tests write: in memory where the
// machine has /dev/shm (the tests write a few thousand small files), else
// under the working directory. Removed at exit.
const std::string &scratch_dir() {
    struct Dir {
        std::string path;
        Dir() {
            for (const char *base : {"/dev/shm", "."}) {
                std::string tmpl = std::string(base) + "/kavro_param_test_XXXXXX";
                if (mkdtemp(tmpl.data()) != nullptr) {
                    path = tmpl;
                    return;
                }
            }
            path = ".";
        }
        ~Dir() {
            if (path != ".") {
                std::error_code ec;
                std::filesystem::remove_all(path, ec);
            }
        }
    };
    static const Dir dir;
    return dir.path;
}

// A block the callback saw.
struct SeenBlock {
    kavro_param_blk_unit_t unit{};
    std::vector<uint8_t> data;
    kavro_param_handle_t *h = nullptr;
};

int record_block(kavro_param_handle_t *h, const kavro_param_blk_unit_t *unit, void *data, int data_len, void *arg) {
    auto *seen = static_cast<SeenBlock *>(arg);
    seen->h = h;
    seen->unit = *unit;
    const auto *p = static_cast<const uint8_t *>(data);
    seen->data.assign(p, p + data_len);
    return 1;
}

int reject_block(kavro_param_handle_t *, const kavro_param_blk_unit_t *, void *, int, void *) { return 0; }

ParamFileDesc current_spec(std::vector<size_t> sizes, uint8_t ver = 150) {
    ParamFileDesc s;
    s.ver = ver;
    s.lens.name = "lens-A7 wide";
    for (size_t i = 0; i < sizes.size(); ++i)
        s.blocks.push_back(ParamBlock{static_cast<uint8_t>(i + 1), param_pattern(sizes[i], static_cast<uint32_t>(i))});
    return s;
}

ParamFileDesc old_spec(std::vector<size_t> sizes, uint8_t ver = 120) {
    ParamFileDesc s = current_spec(std::move(sizes), ver);
    for (auto &b : s.blocks) b.type = 1;  // the old layout knows only type 1
    return s;
}

class ParamFile : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = scratch_dir() + "/" + test_name() + ".bin";
        log_ = std::make_unique<LogFileCapture>(test_name());
    }
    void TearDown() override {
        kavro_param_close(&h_);
        log_.reset();
        std::remove(path_.c_str());
    }

    // Writes bytes to this test's file and opens it into h_.
    bool open_bytes(const std::vector<uint8_t> &bytes) {
        kavro_param_close(&h_);
        EXPECT_TRUE(write_param_file(path_, bytes));
        mark();
        return kavro_param_open_file(&h_, path_.c_str());
    }
    // What was logged since the last open_bytes (or mark()). Only the new
    // part of the log file is read, so long loops stay linear.
    std::string logged() const {
        std::ifstream in(test_name() + ".log", std::ios::binary);
        in.seekg(static_cast<std::streamoff>(mark_));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void mark() {
        std::error_code ec;
        const auto n = std::filesystem::file_size(test_name() + ".log", ec);
        mark_ = ec ? 0 : static_cast<size_t>(n);
    }

    std::string path_;
    std::unique_ptr<LogFileCapture> log_;
    size_t mark_ = 0;
    kavro_param_handle_t h_{};
};

// ---- checksum ----------------------------------------------------------------

TEST(ParamCksum, KnownValueAndContinuationOverPieces) {
    EXPECT_EQ(_cksum_hash16("abc", 3, 0), 0x4C27);
    const auto data = param_pattern(5000, 7);
    for (uint16_t seed : {0x0000, 0x00FE, 0xFE00, 0x1234, 0xFEFE}) {
        SCOPED_TRACE(seed);
        const uint16_t whole = _cksum_hash16(data.data(), data.size(), seed);
        EXPECT_EQ(whole, kavro_test::param_fletcher16(data.data(), data.size(), seed));
        for (size_t cut : {size_t{0}, size_t{1}, size_t{2499}, size_t{4999}}) {
            const uint16_t first = _cksum_hash16(data.data(), cut, seed);
            EXPECT_EQ(_cksum_hash16(data.data() + cut, data.size() - cut, first), whole) << "cut " << cut;
        }
    }
}

// ---- valid files -------------------------------------------------------------

struct LayoutCase {
    const char *name;
    uint8_t ver;
    std::vector<size_t> sizes;
    friend void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }
};

class ParamFileRoundTrip : public ParamFile, public ::testing::WithParamInterface<LayoutCase> {};

// Every block reaches the callback with its unit header and exactly its bytes;
// an old block arrives as its unit header without the type byte, then the data.
TEST_P(ParamFileRoundTrip, BlocksReachTheCallback) {
    const LayoutCase &c = GetParam();
    const bool old = c.ver < 140;
    const ParamFileDesc desc = old ? old_spec(c.sizes, c.ver) : current_spec(c.sizes, c.ver);
    const auto bytes = build_param_file(desc);
    ASSERT_TRUE(open_bytes(bytes)) << logged();
    EXPECT_TRUE(kavro_param_is_valid(&h_));
    EXPECT_STREQ(h_.pfilename, path_.c_str());
    EXPECT_EQ(std::memcmp(&h_.vx_hdr, bytes.data(), sizeof h_.vx_hdr), 0);
    ASSERT_EQ(kavro_param_get_blk_cnt(&h_), static_cast<int>(c.sizes.size()));

    size_t unit_at = O::blocks;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
        SCOPED_TRACE(i);
        SeenBlock seen;
        mark();
        ASSERT_TRUE(kavro_param_parse_blk(&h_, static_cast<int>(i), record_block, &seen));
        EXPECT_NE(logged().find("read param blk#" + std::to_string(i) + ": OK\n"), std::string::npos);
        EXPECT_EQ(seen.h, &h_);
        const std::vector<uint8_t> &data = desc.blocks[i].data;
        if (old) {
            EXPECT_EQ(seen.unit.type, 1);
            EXPECT_EQ(uint32_t{seen.unit.size}, static_cast<uint32_t>(data.size() + 41));
            const std::vector<uint8_t> expect(bytes.begin() + unit_at + 1,
                                              bytes.begin() + unit_at + 42 + data.size());
            EXPECT_EQ(seen.data, expect);
            unit_at += 42 + data.size();
        } else {
            EXPECT_EQ(seen.unit.type, desc.blocks[i].type);
            EXPECT_EQ(size_t{seen.unit.size}, data.size());
            EXPECT_EQ(seen.data, data);
            unit_at += 5 + data.size();
        }
    }
    // Blocks can be read again, in any order.
    if (!c.sizes.empty()) {
        SeenBlock seen;
        const int last = static_cast<int>(c.sizes.size()) - 1;
        ASSERT_TRUE(kavro_param_parse_blk(&h_, last, record_block, &seen));
        ASSERT_TRUE(kavro_param_parse_blk(&h_, 0, record_block, &seen));
        EXPECT_EQ(seen.data.size(), old ? desc.blocks[0].data.size() + 41 : desc.blocks[0].data.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ParamFileRoundTrip,
    ::testing::Values(LayoutCase{"current_ver150", 150, {300, 0, 17, 1, 40000}},
                      LayoutCase{"current_ver140_seven_blocks", 140, {1, 2, 3, 4, 5, 6, 7}},
                      LayoutCase{"current_no_blocks", 150, {}},
                      LayoutCase{"old_ver120", 120, {100, 0, 2048}},
                      LayoutCase{"old_ver139_seven_blocks", 139, {9, 8, 7, 6, 5, 4, 3}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ParamFile, OldUnitIsRecordedFromItsSecondByte) {
    ASSERT_TRUE(open_bytes(build_param_file(old_spec({100}))));
    ASSERT_EQ(kavro_param_get_blk_cnt(&h_), 1);
    EXPECT_EQ(h_.par_blk_hdr[0].type, 1);
    EXPECT_EQ(uint32_t{h_.par_blk_hdr[0].size}, 141u);
    EXPECT_EQ(h_.par_blk_offset[0], 1203u);
}

TEST_F(ParamFile, EmptyCurrentFileOpensWithNoBlocks) {
    ParamFileDesc s = current_spec({});
    s.blk_cksum = 0;
    s.blk_size_total = 0;
    ASSERT_TRUE(open_bytes(build_param_file(s))) << logged();
    EXPECT_EQ(kavro_param_get_blk_cnt(&h_), 0);
    EXPECT_NE(logged().find("calib param : ver = 150, blk cnt = 0, size = 0, cksum = 0x0\n"), std::string::npos);
}

// The lens range applies only to a named lens; the bounds are inclusive.
TEST_F(ParamFile, LensRangeOnlyForNamedLens) {
    struct Case {
        const char *name;
        double cx, cy;
        bool ok;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"", 12.0, -5.0, true},        {"", nan, nan, true},           {"L", 16.0, 1024.0, true},
        {"L", 1024.0, 16.0, true},     {"L", 12.0, 120.0, false},      {"L", 160.0, 15.99, false},
        {"L", 1024.01, 120.0, false},  {"L", 160.0, 2000.0, false},    {"L", nan, 120.0, false},
        {"L", 160.0, -nan, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("name='") + c.name + "' cx=" + std::to_string(c.cx) + " cy=" + std::to_string(c.cy));
        ParamFileDesc s = current_spec({10});
        s.lens.name = c.name;
        s.lens.cx = c.cx;
        s.lens.cy = c.cy;
        EXPECT_EQ(open_bytes(build_param_file(s)), c.ok);
        EXPECT_EQ(logged().find("wrong range for lens param") == std::string::npos, c.ok) << logged();
    }
}

// A lens name that fills all 64 bytes has no NUL: the message shows exactly
// those 64 characters and nothing of the doubles behind them.
TEST_F(ParamFile, LensMessageWithUnterminatedName) {
    ParamFileDesc s = current_spec({10});
    s.lens.name = std::string(64, 'N');
    s.lens.cx = 3.1;  // its low bytes are not 0: a missing NUL would show
    ASSERT_FALSE(open_bytes(build_param_file(s)));
    EXPECT_NE(logged().find("wrong range for lens param: cx/cy=3.1/120.0, name=" + std::string(64, 'N') + "\n"),
              std::string::npos)
        << logged();
}

// ---- header checks -------------------------------------------------------------

struct HeaderCase {
    const char *name;
    std::function<void(ParamFileDesc &)> change;
    const char *message;  // the check's own message
    friend void PrintTo(const HeaderCase &c, std::ostream *os) { *os << c.name; }
};

class ParamFileHeaderCheck : public ParamFile, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(ParamFileHeaderCheck, RefusedWithItsMessage) {
    ParamFileDesc s = current_spec({10, 20});
    GetParam().change(s);
    EXPECT_FALSE(open_bytes(build_param_file(s)));
    EXPECT_FALSE(kavro_param_is_valid(&h_));
    EXPECT_EQ(kavro_param_get_blk_cnt(&h_), 0);
    const std::string log = logged();
    EXPECT_NE(log.find(GetParam().message), std::string::npos) << log;
    EXPECT_NE(log.find("[TEST][DBG][_param_verify] "), std::string::npos) << log;
    EXPECT_NE(log.find("[TEST][ERR][kavro_param_open_file] _param_verify failed: " + path_ + "\n"), std::string::npos)
        << log;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ParamFileHeaderCheck,
    ::testing::Values(
        HeaderCase{"current_with_old_magic", [](ParamFileDesc &s) { s.magic = 1000; },
                   "wrong magic id (ver=150): 0x3e8\n"},
        HeaderCase{"old_with_current_magic",
                   [](ParamFileDesc &s) {
                       s = old_spec({10});
                       s.magic = 0x31505856;
                   },
                   "wrong magic id (ver=120): 0x31505856\n"},
        HeaderCase{"ver139_with_current_magic",
                   [](ParamFileDesc &s) {
                       s = old_spec({10}, 139);
                       s.magic = 0x31505856;
                   },
                   "wrong magic id (ver=139): 0x31505856\n"},
        HeaderCase{"header_cksum", [](ParamFileDesc &s) { s.hdr_cksum = 0xBEEF; },
                   "wrong cksum (ver=150): 0xbeef\n"},
        HeaderCase{"lens_cx", [](ParamFileDesc &s) { s.lens.cx = 12.0; },
                   "wrong range for lens param: cx/cy=12.0/120.0, name="},
        HeaderCase{"eight_blocks", [](ParamFileDesc &s) { s.blocks.resize(8); }, "too much param blks: 8"},
        HeaderCase{"huge_block_count", [](ParamFileDesc &s) { s.blk_cnt = 0xFFFFFFFF; }, "too much param blks: -1"},
        HeaderCase{"total_below_unit_headers",
                   [](ParamFileDesc &s) {
                       s.blk_cnt = 3;
                       s.blk_size_total = 14;
                   },
                   "wrong blk total size: 14\n"},
        HeaderCase{"total_above_limit", [](ParamFileDesc &s) { s.blk_size_total = 0x10240001; },
                   "wrong blk total size: 270794753\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ParamFile, SevenBlocksAndLargestTotalPassTheHeaderChecks) {
    kavro_param_t hdr;
    auto bytes = build_param_file(current_spec({1, 1, 1, 1, 1, 1, 1}));
    std::memcpy(&hdr, bytes.data(), sizeof hdr);
    EXPECT_TRUE(_param_verify(&hdr));
    hdr.p_blks.blk_size_total = kParamBlkSizeTotalMax;
    EXPECT_TRUE(_param_verify(&hdr));
    hdr.p_blks.blk_size_total = 35;  // exactly 5 per block
    EXPECT_TRUE(_param_verify(&hdr));
}

// The old layout carries no block total: only the current one checks it.
TEST_F(ParamFile, OldLayoutIgnoresBlockTotalAndChecksum) {
    ParamFileDesc s = old_spec({10});
    s.blk_size_total = 0xFFFFFFFF;
    s.blk_cksum = 0x1234;
    EXPECT_TRUE(open_bytes(build_param_file(s))) << logged();
}

// Every byte from 20 to 1187 is covered by the header checksum; the
// timestamp and the other leading fields are not.
TEST_F(ParamFile, HeaderChecksumCoversExactlyLensAndReserved) {
    const auto good = build_param_file(current_spec({10}));
    for (size_t off = 0; off < O::hdr_cksum_end; ++off) {
        if (off == O::ver || (off >= O::magic_id && off < O::magic_id + 4) ||
            (off >= O::hdr_cksum && off < O::hdr_cksum + 2))
            continue;  // these have checks of their own
        auto bad = good;
        bad[off] ^= 0x01;
        const bool covered = off >= O::lens;
        const bool opened = open_bytes(bad);
        ASSERT_EQ(opened, !covered) << "offset " << off << "\n" << logged();
        if (covered) {
            ASSERT_NE(logged().find("wrong cksum (ver=150)"), std::string::npos) << "offset " << off;
        }
    }
}

// ---- block checks --------------------------------------------------------------

TEST_F(ParamFile, ChangedBlockByteFailsBlockChecksum) {
    const ParamFileDesc s = current_spec({10, 1, 30});
    const auto good = build_param_file(s);
    // One byte of each unit header and one data byte of each block.
    std::vector<size_t> offsets;
    size_t at = O::blocks;
    for (const auto &b : s.blocks) {
        offsets.push_back(at);  // the type byte
        offsets.push_back(at + 5 + b.data.size() - 1);
        at += 5 + b.data.size();
    }
    for (size_t off : offsets) {
        auto bad = good;
        bad[off] ^= 0x40;
        EXPECT_FALSE(open_bytes(bad)) << "offset " << off;
        EXPECT_NE(logged().find("param blks cksum failed: ck_sum=0x"), std::string::npos) << logged();
    }
    ParamFileDesc wrong = s;
    wrong.blk_cksum = 0x0102;
    EXPECT_FALSE(open_bytes(build_param_file(wrong)));
    const std::string expect = "(expect 0x102)\n";
    EXPECT_NE(logged().find(expect), std::string::npos) << logged();
}

struct BlockCase {
    const char *name;
    std::function<std::vector<uint8_t>()> make;
    const char *message;
    friend void PrintTo(const BlockCase &c, std::ostream *os) { *os << c.name; }
};

class ParamFileBlockCheck : public ParamFile, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(ParamFileBlockCheck, RefusedWithItsMessage) {
    EXPECT_FALSE(open_bytes(GetParam().make()));
    EXPECT_FALSE(kavro_param_is_valid(&h_));
    EXPECT_EQ(h_.fd, nullptr);
    EXPECT_NE(logged().find(GetParam().message), std::string::npos) << logged();
}

// A current-layout file whose first unit says `size`; the block checksum and
// total are recomputed so only the size is wrong.
std::vector<uint8_t> current_with_unit_size(uint32_t size) {
    auto f = build_param_file(current_spec({10}));
    put_le32(f, O::blocks + 1, size);
    return f;
}

std::vector<uint8_t> old_with_unit_size(uint32_t size) {
    auto f = build_param_file(old_spec({10}));
    put_le32(f, O::blocks + 22, size);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ParamFileBlockCheck,
    ::testing::Values(
        BlockCase{"total_larger",
                  [] {
                      ParamFileDesc s = current_spec({10, 20});
                      s.blk_size_total = 41;
                      return build_param_file(s);
                  },
                  "param blks size wrong: size=40 (expect 41)\n"},
        BlockCase{"total_smaller",
                  [] {
                      ParamFileDesc s = current_spec({10, 20});
                      s.blk_size_total = 39;
                      return build_param_file(s);
                  },
                  "param blks size wrong: size=40 (expect 39)\n"},
        BlockCase{"more_blocks_than_present",
                  [] {
                      ParamFileDesc s = current_spec({10});
                      s.blk_cnt = 2;
                      return build_param_file(s);
                  },
                  "read par_dev_hdr failed: "},
        BlockCase{"unit_size_one_past_end", [] { return current_with_unit_size(11); }, "read blk#0 data failed: "},
        BlockCase{"unit_size_max", [] { return current_with_unit_size(0xFFFFFFFF); }, "read blk#0 data failed: "},
        BlockCase{"unit_size_int_max", [] { return current_with_unit_size(0x7FFFFFFF); }, "read blk#0 data failed: "},
        BlockCase{"old_wrong_type",
                  [] {
                      auto f = build_param_file(old_spec({10}));
                      f[O::blocks] = 2;
                      return f;
                  },
                  "wrong blk unit type: 2\n"},
        BlockCase{"old_more_blocks_than_present",
                  [] {
                      ParamFileDesc s = old_spec({10});
                      s.blk_cnt = 2;
                      return build_param_file(s);
                  },
                  "read blk_unit_hdr failed: "},
        // The old layout skips block data without reading them, so a size
        // past the end must be caught against the file's size.
        BlockCase{"old_unit_size_one_past_end", [] { return old_with_unit_size(11); }, "read blk#0 data failed: "},
        BlockCase{"old_unit_size_max", [] { return old_with_unit_size(0xFFFFFFFF); }, "read blk#0 data failed: "},
        BlockCase{"old_second_unit_past_end",
                  [] {
                      auto f = build_param_file(old_spec({10, 5}));
                      put_le32(f, O::blocks + 52 + 22, 6);
                      return f;
                  },
                  "read blk#1 data failed: "}),
    [](const auto &info) { return std::string(info.param.name); });

// Cutting a small file at every length is refused, with the message of the
// part where the cut falls.
TEST_F(ParamFile, TruncatedAtEveryLength) {
    struct Layout {
        ParamFileDesc desc;
        size_t unit;
        const char *unit_msg;
    };
    const Layout layouts[] = {{current_spec({7, 0, 3}), 5, "read par_dev_hdr failed: "},
                              {old_spec({7, 0, 3}), 42, "read blk_unit_hdr failed: "}};
    for (const Layout &l : layouts) {
        const auto full = build_param_file(l.desc);
        // Where each block's unit header starts and where its data end.
        std::vector<std::pair<size_t, size_t>> spans;
        size_t at = O::blocks;
        for (const auto &b : l.desc.blocks) {
            spans.emplace_back(at, at + l.unit + b.data.size());
            at += l.unit + b.data.size();
        }
        ASSERT_EQ(at, full.size());
        for (size_t len = 0; len < full.size(); ++len) {
            SCOPED_TRACE("ver " + std::to_string(l.desc.ver) + " length " + std::to_string(len));
            ASSERT_FALSE(open_bytes(std::vector<uint8_t>(full.begin(), full.begin() + len)));
            std::string expect = "read kavro_param_t failed: ";
            for (size_t i = 0; i < spans.size(); ++i) {
                if (len >= spans[i].first && len < spans[i].first + l.unit) expect = l.unit_msg;
                if (len >= spans[i].first + l.unit && len < spans[i].second)
                    expect = "read blk#" + std::to_string(i) + " data failed: ";
            }
            ASSERT_NE(logged().find(expect + path_ + "\n"), std::string::npos) << logged();
        }
        EXPECT_TRUE(open_bytes(full)) << logged();
    }
}

// ---- open arguments and file names -----------------------------------------------

TEST_F(ParamFile, OpenFailures) {
    std::memset(&h_, 0xA5, sizeof h_);
    EXPECT_FALSE(kavro_param_open_file(&h_, "no_such_dir/none.bin"));
    EXPECT_FALSE(kavro_param_is_valid(&h_));
    EXPECT_EQ(h_.fd, nullptr);  // the handle was zeroed
    EXPECT_TRUE(log_->contains("open calib bin failed: no_such_dir/none.bin\n"));
    EXPECT_FALSE(kavro_param_open_file(&h_, nullptr));
    EXPECT_FALSE(kavro_param_open_file(nullptr, path_.c_str()));
    // A folder opens with stdio but has no file size: refused as unreadable.
    EXPECT_FALSE(kavro_param_open_file(&h_, "."));
    EXPECT_TRUE(log_->contains("read kavro_param_t failed: .\n"));
}

TEST_F(ParamFile, FileNameLengthLimit) {
    const auto bytes = build_param_file(current_spec({10}));
    for (size_t len : {size_t{127}, size_t{128}}) {
        std::string name = "./" + std::string(len - 6, 'p') + ".bin";
        ASSERT_EQ(name.size(), len);
        ASSERT_TRUE(write_param_file(name, bytes));
        mark();
        const bool ok = kavro_param_open_file(&h_, name.c_str());
        std::remove(name.c_str());
        if (len == 127) {
            EXPECT_TRUE(ok) << logged();
            EXPECT_EQ(std::string(h_.pfilename), name);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(logged().find("param filename too long: len=128\n"), std::string::npos) << logged();
        }
        kavro_param_close(&h_);
    }
}

// ---- block parsing ---------------------------------------------------------------

TEST_F(ParamFile, ParseBlockArguments) {
    ASSERT_TRUE(open_bytes(build_param_file(current_spec({10, 20}))));
    SeenBlock seen;
    mark();
    EXPECT_FALSE(kavro_param_parse_blk(&h_, 2, record_block, &seen));
    EXPECT_NE(logged().find("[TEST][DBG][kavro_param_parse_blk] wrong blk_idx 2 to parse \n"), std::string::npos)
        << logged();
    EXPECT_FALSE(kavro_param_parse_blk(&h_, -1, record_block, &seen));
    EXPECT_NE(logged().find("wrong blk_idx -1 to parse \n"), std::string::npos);

    mark();
    EXPECT_FALSE(kavro_param_parse_blk(&h_, 0, nullptr, &seen));
    EXPECT_FALSE(kavro_param_parse_blk(nullptr, 0, record_block, &seen));
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(seen.h, nullptr);

    EXPECT_FALSE(kavro_param_parse_blk(&h_, 1, reject_block, nullptr));
    EXPECT_NE(logged().find("[TEST][ERR][kavro_param_parse_blk] read param blk#1: NG\n"), std::string::npos)
        << logged();

    kavro_param_close(&h_);
    EXPECT_FALSE(kavro_param_is_valid(&h_));
    EXPECT_EQ(kavro_param_get_blk_cnt(&h_), 0);
    EXPECT_FALSE(kavro_param_parse_blk(&h_, 0, record_block, &seen));
    kavro_param_close(&h_);  // a second close does nothing
    kavro_param_close(nullptr);
    EXPECT_FALSE(kavro_param_is_valid(nullptr));
    EXPECT_EQ(kavro_param_get_blk_cnt(nullptr), 0);
}

// The file may change between open and parse: a block cut off since then is
// a short read, not a block with stale bytes.
TEST_F(ParamFile, FileCutAfterOpen) {
    const auto bytes = build_param_file(current_spec({10, 20}));
    ASSERT_TRUE(open_bytes(bytes));
    ASSERT_EQ(truncate(path_.c_str(), static_cast<off_t>(bytes.size() - 1)), 0);
    SeenBlock seen;
    EXPECT_TRUE(kavro_param_parse_blk(&h_, 0, record_block, &seen));
    mark();
    EXPECT_FALSE(kavro_param_parse_blk(&h_, 1, record_block, &seen));
    EXPECT_NE(logged().find("read blk#1 data failed: " + path_ + "\n"), std::string::npos) << logged();
    EXPECT_EQ(seen.data.size(), 10u);  // the callback did not run for block 1
}

// ---- file names ------------------------------------------------------------------

struct FakeDevice {
    uint16_t part_ver = 3, chip_id = 0, wafer_id = 0;
    uint32_t serial0 = 0;
    int fail_at = -1;  // number of the read that fails (0 = the first)
    std::vector<uint32_t> asked;
};
FakeDevice *g_fake = nullptr;

bool fake_read(kavro_dev_t *, kavro_param_item_t *items, int cnt) {
    for (int i = 0; i < cnt; ++i) {
        const int n = static_cast<int>(g_fake->asked.size());
        g_fake->asked.push_back(items[i].param_id);
        if (n == g_fake->fail_at) return false;
        kavro_param_val_u &v = items[i].param_val;
        if (items[i].param_id == PARAM_INFO_SENSOR) {
            v.chip_info.part_ver = g_fake->part_ver;
            v.chip_info.chip_id = g_fake->chip_id;
            v.chip_info.wafer_id = g_fake->wafer_id;
        } else if (items[i].param_id == PARAM_INFO_SERIAL) {
            v.info_serial.serial[0] = g_fake->serial0;
            v.info_serial.serial[1] = 0xDDDDDDDD;  // only the first word counts
            v.info_serial.serial[2] = 0xEEEEEEEE;
        }
    }
    return true;
}

class ParamFileName : public ParamFile {
protected:
    void SetUp() override {
        ParamFile::SetUp();
        g_fake = &fake_;
        dev_.expath = "/var/cache/kv/";
    }
    void TearDown() override {
        g_fake = nullptr;
        ParamFile::TearDown();
    }
    FakeDevice fake_;
    kavro_dev_t dev_{};
};

TEST_F(ParamFileName, IdFromChipWaferAndSerial) {
    struct Case {
        uint16_t chip, wafer;
        uint32_t serial0;
        const char *bin, *lens;
    };
    const Case cases[] = {
        // 0x1234 + 2 * 65536 = 0x21234 = 135732
        {0x1234, 2, 0, "/var/cache/kv/kavro_param_135732.bin", "/var/cache/kv/kavro_param_lens_135732.txt"},
        // 0x21234 ^ 0x21230 = 4
        {0x1234, 2, 0x21230, "/var/cache/kv/kavro_param_4.bin", "/var/cache/kv/kavro_param_lens_4.txt"},
        // 0x8000 * 65536 = 0x80000000, ^ 1 = 0x80000001 printed signed
        {0, 0x8000, 1, "/var/cache/kv/kavro_param_-2147483647.bin", "/var/cache/kv/kavro_param_lens_-2147483647.txt"},
        // 0xFFFF + 0xFFFF * 65536 = 0xFFFFFFFF = -1
        {0xFFFF, 0xFFFF, 0, "/var/cache/kv/kavro_param_-1.bin", "/var/cache/kv/kavro_param_lens_-1.txt"},
    };
    for (const Case &c : cases) {
        fake_.chip_id = c.chip;
        fake_.wafer_id = c.wafer;
        fake_.serial0 = c.serial0;
        char buf[128];
        EXPECT_EQ(_kavro_param_name_build(&dev_, buf, sizeof buf, false, fake_read), buf);
        EXPECT_STREQ(buf, c.bin);
        EXPECT_EQ(_kavro_param_name_build(&dev_, buf, sizeof buf, true, fake_read), buf);
        EXPECT_STREQ(buf, c.lens);
    }
    EXPECT_EQ(fake_.asked.size(), 16u);
    EXPECT_EQ(fake_.asked[0], static_cast<uint32_t>(PARAM_INFO_SENSOR));
    EXPECT_EQ(fake_.asked[1], static_cast<uint32_t>(PARAM_INFO_SERIAL));
    EXPECT_TRUE(log_->contains("[_kavro_get_param_id] SENSOR: p/w/cid=3/2/4660\n"));
}

TEST_F(ParamFileName, TruncatedToBufferAndRefusedArguments) {
    fake_.chip_id = 7;
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    dev_.expath = "ab/";
    EXPECT_EQ(_kavro_param_name_build(&dev_, buf, 10, false, fake_read), buf);
    EXPECT_STREQ(buf, "ab/kavro_");
    EXPECT_EQ(buf[10], 'x');
    dev_.expath = nullptr;  // no path: the bare name
    EXPECT_EQ(_kavro_param_name_build(&dev_, buf, sizeof buf, false, fake_read), buf);
    EXPECT_STREQ(buf, "kavro_param_7.b");
    EXPECT_EQ(_kavro_param_name_build(&dev_, buf, 0, false, fake_read), nullptr);
    EXPECT_EQ(_kavro_param_name_build(&dev_, nullptr, 10, false, fake_read), nullptr);
    EXPECT_EQ(_kavro_param_name_build(nullptr, buf, 10, false, fake_read), nullptr);
}

TEST_F(ParamFileName, EitherReadFailing) {
    for (int fail_at : {0, 1}) {
        fake_.asked.clear();
        fake_.fail_at = fail_at;
        char buf[64] = "unchanged";
        mark();
        EXPECT_EQ(_kavro_param_name_build(&dev_, buf, sizeof buf, false, fake_read), nullptr);
        EXPECT_STREQ(buf, "unchanged");
        EXPECT_NE(logged().find("[TEST][ERR][_kavro_get_param_id] Get chip info failed\n"), std::string::npos);
        EXPECT_EQ(logged().find("SENSOR:") != std::string::npos, fail_at == 1);
        EXPECT_EQ(fake_.asked.size(), static_cast<size_t>(fail_at + 1));
    }
}

// Through the exported calls a device that is not open cannot be read.
TEST_F(ParamFileName, ExportedBuildersOnClosedDevice) {
    char buf[64] = "unchanged";
    EXPECT_EQ(kavro_get_param_absolute_name(&dev_, buf, sizeof buf), nullptr);
    EXPECT_EQ(kavro_get_param_lens_absolute_name(&dev_, buf, sizeof buf), nullptr);
    EXPECT_EQ(kavro_get_param_absolute_name(nullptr, buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_TRUE(log_->contains("Get chip info failed\n"));
}

}  // namespace
