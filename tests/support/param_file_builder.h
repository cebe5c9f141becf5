// Builds calibration parameter files (the container that kavro_param_open_file
// reads) for tests and for the camera simulator: fixed header with lens
// parameters, block header and blocks in the old (version < 140) or current
// layout, with both checksums computed unless a test overrides them.
//
// The bytes are written field by field at their file offsets, independently
// of the library's packed records, so the two cross-check each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavro_test {

/// File offsets of the fields tests change by hand.
struct ParamFileOffsets {
    static constexpr size_t ver = 0;
    static constexpr size_t ts = 1;
    static constexpr size_t magic_id = 5;
    static constexpr size_t hdr_cksum = 18;
    static constexpr size_t lens = 20;
    static constexpr size_t lens_cx = 84;
    static constexpr size_t lens_cy = 92;
    static constexpr size_t hdr_cksum_end = 1188;  // one past the last byte the header checksum covers
    static constexpr size_t blk_ts = 1188;
    static constexpr size_t blk_cnt = 1192;
    static constexpr size_t blk_size_total = 1196;
    static constexpr size_t blk_cksum = 1200;
    static constexpr size_t blocks = 1202;
};

/// Size of a block's unit header in each layout.
inline constexpr size_t kParamUnitSize = 5;
inline constexpr size_t kParamUnitOldSize = 42;

struct ParamLens {
    std::string name;  // empty: the file carries no lens parameters (at most 64 bytes)
    double cx = 160.0, cy = 120.0, fx = 210.5, fy = 211.25;
    std::array<double, 5> dcoeff{-0.25, 0.125, 0.001, -0.002, 0.0};
    uint32_t img_w = 320, img_h = 240;
};

struct ParamBlock {
    uint8_t type = 1;
    std::vector<uint8_t> data;
};

struct ParamFileDesc {
    uint8_t ver = 150;              // < 140: old block layout
    uint32_t ts = 1700000000;       // calibration timestamp
    std::optional<uint32_t> magic;  // default: 1000 (old) or "VXP1" (current)
    uint8_t ver2 = 2;
    ParamLens lens;
    uint8_t reserved2_seed = 0x5A;  // reserved2 is filled with a pattern from this
    uint32_t blk_ts = 1700000123;
    std::vector<ParamBlock> blocks;
    // Overrides of computed fields, to build damaged files.
    std::optional<uint32_t> blk_cnt;
    std::optional<uint32_t> blk_size_total;
    std::optional<uint16_t> hdr_cksum;
    std::optional<uint16_t> blk_cksum;
};

/// Fletcher-16 with modulus 255, sum1 in the low byte, sum2 in the high byte.
uint16_t param_fletcher16(const uint8_t *p, size_t n, uint16_t seed = 0);

/// The whole file.
std::vector<uint8_t> build_param_file(const ParamFileDesc &desc);

/// Recompute the header checksum (bytes 20..1187) of a built file in place.
void param_file_seal_header(std::vector<uint8_t> &file);

/// Reproducible bytes for block data.
std::vector<uint8_t> param_pattern(size_t n, uint32_t seed);

/// Little-endian accessors for changing fields of a built file.
void put_le32(std::vector<uint8_t> &b, size_t off, uint32_t v);
void put_le16(std::vector<uint8_t> &b, size_t off, uint16_t v);
void put_f64(std::vector<uint8_t> &b, size_t off, double v);
uint32_t get_le32(const std::vector<uint8_t> &b, size_t off);

/// Writes bytes to a file; false on failure.
bool write_param_file(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace kavro_test
