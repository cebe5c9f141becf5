// Recording side file: what a raw recording R needs besides its samples to
// replay like the camera that made it. The side file R.info (text, one
// record per line) holds the camera's identity, its settings, the lens
// values and the calibration the live frames were decoded with, and one line
// per frame with its temperatures and arrival time; R.calib is a byte copy
// of that calibration file. The raw file itself is unchanged, so every
// reader of raw frame files keeps working, and a recording without R.info
// replays as before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vx_imgproc.h"

/// Frame line flag: the camera reported a plausible temperature.
constexpr uint32_t KAVRO_REC_FRAME_TEMP_MEASURED = 0x1u;

struct kavro_rec_frame_t {
    int16_t temp_cb = 0;   // 0.1 degC
    int16_t temp_ib = 0;   // 0.1 degC
    uint64_t host_us = 0;  // host monotonic time of arrival
    uint32_t flags = 0;
};

/// Contents of R.info. Fields a file does not carry keep these defaults.
struct kavro_rec_info_t {
    std::string product, vendor, serial, version;  // tokens as written
    uint16_t sensor[3] = {0, 0, 0};                // part_ver, chip_id, wafer_id
    uint32_t mod_freq = 0;
    uint32_t intg_time = 0;
    double frame_rate = 0;
    uint32_t frame_format = 0;
    bool has_frame_format = false;
    bool has_lens = false;
    vx_len_param_t lens{};
    std::string calib_kind = "none";  // pixel | simple | none
    std::string calib_file = "-";     // relative to the folder of R, or "-"
    uint64_t calib_bytes = 0;
    uint32_t calib_crc = 0;
    std::vector<kavro_rec_frame_t> frames;  // in file order
};

/// Name of the side file of recording `raw_path`.
std::string _kavro_rec_info_path(const std::string &raw_path);
/// Folder part of `path` including its last '/', or "" when it has none.
std::string _kavro_rec_dir_of(const std::string &path);
/// Last component of `path`.
std::string _kavro_rec_base_of(const std::string &path);

/// Header lines of `info` (everything but the frame lines), in file order.
std::string _kavro_rec_info_header_text(const kavro_rec_info_t &info);
/// The frame line of frame `n`.
std::string _kavro_rec_info_frame_line(uint32_t n, const kavro_rec_frame_t &f);
/// Parse the text of a side file. False, with a reason in *err, when the
/// first line is not "kavro-recording 1" or a known record is malformed.
bool _kavro_rec_info_parse(const std::string &text, kavro_rec_info_t *out, std::string *err);
/// Read and parse the side file `info_path`. False when it cannot be read
/// (errno set) or parsed (*err set).
bool _kavro_rec_info_read(const std::string &info_path, kavro_rec_info_t *out, std::string *err);

/// Size and zlib crc32 of the open descriptor's whole content (read from
/// offset 0 with pread). False on a read error.
bool _kavro_rec_fd_crc(int fd, uint64_t *bytes, uint32_t *crc);
/// Copy the file `src` to `dst` (created or truncated), returning its size
/// and crc32. False on any error; a partial `dst` is removed.
bool _kavro_rec_copy_file(const std::string &src, const std::string &dst, uint64_t *bytes, uint32_t *crc);

/// Token form of a text value: blanks become '_', an empty text "-".
std::string _kavro_rec_token(const char *text, size_t max_len);
