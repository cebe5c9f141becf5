// Calibration parameter files: open and verify the container, hand its blocks
// to a parser callback, and build the per-device file names.
//
// Every size read from a file is checked against the file's real size before
// anything is allocated or read, so a damaged or hostile file is refused with
// its message instead of causing a huge allocation or a read past the data.
#include "kavro_param.h"

#include "kavro_replay.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "kavro_param_internal.h"
#include "vx_log_internal.h"

// The file layout is fixed: the records must have exactly these sizes.
static_assert(sizeof(kavro_param_len_t) == 144);
static_assert(sizeof(kavro_param_fix_t) == 1188);
static_assert(offsetof(kavro_param_fix_t, ck_sum) == 18);
static_assert(offsetof(kavro_param_fix_t, lens) == 20);
static_assert(sizeof(kavro_param_blk_t) == 14);
static_assert(sizeof(kavro_param_t) == 1202);
static_assert(offsetof(kavro_param_t, p_blks) == 1188);
static_assert(sizeof(kavro_param_blk_unit_t) == 5);
static_assert(sizeof(kavro_param_blk_unit_old_t) == 42);
static_assert(offsetof(kavro_param_blk_unit_old_t, size) == 22);

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// An old unit is recorded from its second byte: the callback receives the
// 41 bytes after the type byte, then the data.
constexpr uint32_t kOldUnitTail = sizeof(kavro_param_blk_unit_old_t) - 1;

// Piece size for reading block data while checksumming it.
constexpr size_t kReadChunk = 16 * 1024;

}  // namespace

uint16_t _cksum_hash16(const void *buf, size_t len, uint16_t seed) {
    const auto *p = static_cast<const uint8_t *>(buf);
    uint32_t sum1 = seed & 0xFFu;
    uint32_t sum2 = seed >> 8;
    for (size_t i = 0; i < len; ++i) {
        sum1 = (sum1 + p[i]) % 255u;
        sum2 = (sum2 + sum1) % 255u;
    }
    return static_cast<uint16_t>(sum2 << 8 | sum1);
}

bool _param_verify(const kavro_param_t *hdr) {
    const unsigned ver = hdr->p_fix.ver;
    const bool current = ver >= KAVRO_PARAM_VER_CURRENT_LAYOUT;

    const uint32_t magic = hdr->p_fix.magic_id;
    if (magic != (current ? KAVRO_PARAM_MAGIC : KAVRO_PARAM_MAGIC_OLD)) {
        LOG_DBG("wrong magic id (ver=%d): 0x%x\n", ver, magic);
        return false;
    }

    const uint16_t stored = hdr->p_fix.ck_sum;
    const auto *bytes = reinterpret_cast<const uint8_t *>(hdr);
    if (_cksum_hash16(bytes + kParamHdrCksumStart, kParamHdrCksumLen, 0) != stored) {
        LOG_DBG("wrong cksum (ver=%d): 0x%x\n", ver, stored);
        return false;
    }

    const kavro_param_len_t &lens = hdr->p_fix.lens;
    if (lens.name[0] != '\0') {
        const double cx = lens.cx;
        const double cy = lens.cy;
        // Written so that a NaN fails the range as well.
        if (!(cx >= 16.0 && cx <= 1024.0 && cy >= 16.0 && cy <= 1024.0)) {
            // The name field need not be NUL-terminated: print a terminated copy.
            char name[sizeof(lens.name) + 1] = {};
            std::memcpy(name, lens.name, sizeof(lens.name));
            LOG_DBG("wrong range for lens param: cx/cy=%.1f/%.1f, name=%64s\n", cx, cy, name);
            return false;
        }
    }

    const uint32_t blk_cnt = hdr->p_blks.blk_cnt;
    if (blk_cnt > KAVRO_PARAM_BLK_MAX) {
        LOG_DBG("too much param blks: %d", static_cast<int>(blk_cnt));
        return false;
    }

    LOG_DBG("BLK param timestamp: %u\n", static_cast<unsigned>(hdr->p_blks.ts));

    if (current) {
        const uint32_t total = hdr->p_blks.blk_size_total;
        if (total < sizeof(kavro_param_blk_unit_t) * blk_cnt || total > kParamBlkSizeTotalMax) {
            LOG_DBG("wrong blk total size: %d\n", static_cast<int>(total));
            return false;
        }
    }
    return true;
}

namespace {

// Whether a block whose data start at `pos` and run `size` bytes (recorded
// with `extra` more bytes in front) fits in the file and in the handle's
// 32-bit offsets and int data lengths.
bool _blk_fits(uint64_t file_size, uint64_t pos, uint64_t size, uint64_t extra) {
    if (pos > file_size || size > file_size - pos) return false;
    if (size + extra > static_cast<uint64_t>(INT_MAX)) return false;
    return pos - extra <= UINT32_MAX;
}

// Reads the unit headers of an old-layout file. The data of each block are
// skipped; their size was checked against the file.
bool _param_read_units_old(kavro_param_handle_t *h, FILE *f, uint64_t file_size, const char *pfilename) {
    const uint32_t blk_cnt = h->vx_hdr.p_blks.blk_cnt;
    uint64_t pos = sizeof(kavro_param_t);
    for (uint32_t i = 0; i < blk_cnt; ++i) {
        kavro_param_blk_unit_old_t unit;
        if (std::fread(&unit, 1, sizeof unit, f) != sizeof unit) {
            LOG_ERR("read blk_unit_hdr failed: %s\n", pfilename);
            return false;
        }
        pos += sizeof unit;
        if (unit.type != 1) {
            LOG_ERR("wrong blk unit type: %d\n", unit.type);
            return false;
        }
        const uint32_t size = unit.size;
        if (!_blk_fits(file_size, pos, size, kOldUnitTail) ||
            fseeko(f, static_cast<off_t>(size), SEEK_CUR) != 0) {
            LOG_ERR("read blk#%d data failed: %s\n", static_cast<int>(i), pfilename);
            return false;
        }
        h->par_blk_hdr[i].type = 1;
        h->par_blk_hdr[i].size = size + kOldUnitTail;
        h->par_blk_offset[i] = static_cast<uint32_t>(pos - kOldUnitTail);
        pos += size;
    }
    return true;
}

// Reads the unit headers of a current-layout file, checksumming every block
// and adding up their sizes, then checks both against the block header.
bool _param_read_units(kavro_param_handle_t *h, FILE *f, uint64_t file_size, const char *pfilename) {
    const uint32_t blk_cnt = h->vx_hdr.p_blks.blk_cnt;
    uint64_t pos = sizeof(kavro_param_t);
    uint64_t total = 0;
    uint16_t cksum = 0;
    uint8_t chunk[kReadChunk];
    for (uint32_t i = 0; i < blk_cnt; ++i) {
        kavro_param_blk_unit_t unit;
        if (std::fread(&unit, 1, sizeof unit, f) != sizeof unit) {
            LOG_ERR("read par_dev_hdr failed: %s\n", pfilename);
            return false;
        }
        pos += sizeof unit;
        const uint32_t size = unit.size;
        // A size beyond the end of the file is a short read, found before reading.
        if (!_blk_fits(file_size, pos, size, 0)) {
            LOG_ERR("read blk#%d data failed: %s\n", static_cast<int>(i), pfilename);
            return false;
        }
        h->par_blk_hdr[i] = unit;
        h->par_blk_offset[i] = static_cast<uint32_t>(pos);
        cksum = _cksum_hash16(&unit, sizeof unit, cksum);
        // The data are checksummed piece by piece, so memory use does not
        // depend on what the file declares.
        for (uint32_t left = size; left > 0;) {
            const size_t n = std::min<size_t>(left, sizeof chunk);
            if (std::fread(chunk, 1, n, f) != n) {
                LOG_ERR("read blk#%d data failed: %s\n", static_cast<int>(i), pfilename);
                return false;
            }
            cksum = _cksum_hash16(chunk, n, cksum);
            left -= static_cast<uint32_t>(n);
        }
        pos += size;
        total += sizeof unit + size;
    }
    const uint32_t expect_total = h->vx_hdr.p_blks.blk_size_total;
    if (total != expect_total) {
        LOG_ERR("param blks size wrong: size=%d (expect %d)\n", static_cast<int>(total),
                static_cast<int>(expect_total));
        return false;
    }
    const uint16_t expect_cksum = h->vx_hdr.p_blks.ck_sum;
    if (cksum != expect_cksum) {
        LOG_ERR("param blks cksum failed: ck_sum=0x%x (expect 0x%x)\n", cksum, expect_cksum);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

bool kavro_param_init(void) { return true; }
void kavro_param_uninit(void) {}

bool kavro_param_open_file(kavro_param_handle_t *h, const char *pfilename) {
    if (h == nullptr) return false;
    std::memset(h, 0, sizeof *h);
    if (pfilename == nullptr) {
        LOG_DBG("open calib bin failed: %s\n", "(null)");
        return false;
    }
    FilePtr f(std::fopen(pfilename, "rb"));
    if (!f) {
        LOG_DBG("open calib bin failed: %s\n", pfilename);
        return false;
    }
    // Only a regular file has a size that the block sizes can be checked against.
    struct stat st {};
    if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode) ||
        std::fread(&h->vx_hdr, 1, sizeof h->vx_hdr, f.get()) != sizeof h->vx_hdr) {
        LOG_ERR("read kavro_param_t failed: %s\n", pfilename);
        return false;
    }
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);
    if (!_param_verify(&h->vx_hdr)) {
        LOG_ERR("_param_verify failed: %s\n", pfilename);
        return false;
    }
    const kavro_param_t &hdr = h->vx_hdr;
    LOG_DBG("calib param : ver = %d, blk cnt = %d, size = %u, cksum = 0x%x\n", hdr.p_fix.ver,
            static_cast<int>(hdr.p_blks.blk_cnt), static_cast<unsigned>(hdr.p_blks.blk_size_total),
            static_cast<unsigned>(hdr.p_blks.ck_sum));

    const bool ok = hdr.p_fix.ver < KAVRO_PARAM_VER_CURRENT_LAYOUT
                        ? _param_read_units_old(h, f.get(), file_size, pfilename)
                        : _param_read_units(h, f.get(), file_size, pfilename);
    if (!ok) return false;

    const size_t name_len = std::strlen(pfilename);
    if (name_len > KAVRO_PARAM_FILENAME_MAX) {
        LOG_ERR("param filename too long: len=%d\n", static_cast<int>(std::min<size_t>(name_len, INT_MAX)));
        return false;
    }
    std::memcpy(h->pfilename, pfilename, name_len + 1);
    h->fd = f.release();
    h->param_valid = true;
    return true;
}

void kavro_param_close(kavro_param_handle_t *h) {
    if (h == nullptr || !h->param_valid) return;
    if (h->fd != nullptr) std::fclose(h->fd);
    h->fd = nullptr;
    h->param_valid = false;
}

bool kavro_param_is_valid(const kavro_param_handle_t *h) { return h != nullptr && h->param_valid; }

int kavro_param_get_blk_cnt(const kavro_param_handle_t *h) {
    if (!kavro_param_is_valid(h)) return 0;
    return static_cast<int>(h->vx_hdr.p_blks.blk_cnt);
}

bool kavro_param_parse_blk(kavro_param_handle_t *h, int blk_idx, kavro_param_blk_parse_cb_f cb_func, void *cb_arg) {
    if (!kavro_param_is_valid(h) || cb_func == nullptr) return false;
    // The tables have KAVRO_PARAM_BLK_SLOTS entries whatever the header says.
    const int blk_cnt = std::min(kavro_param_get_blk_cnt(h), KAVRO_PARAM_BLK_SLOTS);
    if (blk_idx < 0 || blk_idx >= blk_cnt) {
        LOG_DBG("wrong blk_idx %d to parse \n", blk_idx);
        return false;
    }
    if (fseeko(h->fd, static_cast<off_t>(h->par_blk_offset[blk_idx]), SEEK_SET) != 0) {
        LOG_ERR("seek to param blk # %d failed\n", blk_idx);
        return false;
    }
    const kavro_param_blk_unit_t *unit = &h->par_blk_hdr[blk_idx];
    // The size was checked against the file at open, so the allocation is
    // bounded by the file. A zero-size block still gets a (non-null) buffer.
    const uint32_t size = unit->size;
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
    if (!data) {
        LOG_ERR("malloc failed\n");
        std::exit(-3);
    }
    if (std::fread(data.get(), 1, size, h->fd) != size) {
        LOG_ERR("read blk#%d data failed: %s\n", blk_idx, h->pfilename);
        return false;
    }
    const int ret = cb_func(h, unit, data.get(), static_cast<int>(size), cb_arg);
    data.reset();
    LOG_ERR("read param blk#%d: %s\n", blk_idx, ret != 0 ? "OK" : "NG");
    return ret != 0;
}

}  // extern "C"

bool _kavro_get_param_id(kavro_dev_t *dev, uint32_t *id, kavro_param_read_f read) {
    kavro_param_item_t sensor{};
    sensor.param_id = PARAM_INFO_SENSOR;
    sensor.param_val_len = sizeof sensor.param_val.chip_info;
    kavro_param_item_t serial{};
    serial.param_id = PARAM_INFO_SERIAL;
    serial.param_val_len = sizeof serial.param_val.info_serial;

    if (read == nullptr || !read(dev, &sensor, 1)) {
        LOG_ERR("Get chip info failed\n");
        return false;
    }
    const uint32_t part_ver = sensor.param_val.chip_info.part_ver;
    const uint32_t chip_id = sensor.param_val.chip_info.chip_id;
    const uint32_t wafer_id = sensor.param_val.chip_info.wafer_id;
    LOG_DBG("SENSOR: p/w/cid=%d/%d/%d\n", static_cast<int>(part_ver), static_cast<int>(wafer_id),
            static_cast<int>(chip_id));
    if (!read(dev, &serial, 1)) {
        LOG_ERR("Get chip info failed\n");
        return false;
    }
    *id = (chip_id + wafer_id * 65536u) ^ serial.param_val.info_serial.serial[0];
    return true;
}

char *_kavro_param_name_build(kavro_dev_t *dev, char *buf, int len, bool lens, kavro_param_read_f read) {
    if (dev == nullptr || buf == nullptr || len <= 0) return nullptr;
    uint32_t id = 0;
    if (!_kavro_get_param_id(dev, &id, read)) return nullptr;
    const char *path = dev->expath != nullptr ? dev->expath : "";
    // The id is a u32 printed as a signed decimal.
    const int sid = static_cast<int>(static_cast<int32_t>(id));
    const size_t cap = static_cast<size_t>(len);
    if (lens)
        std::snprintf(buf, cap, "%skavro_param_lens_%d.txt", path, sid);
    else
        std::snprintf(buf, cap, "%skavro_param_%d.bin", path, sid);
    return buf;
}

extern "C" {

char *kavro_get_param_absolute_name(kavro_dev_t *dev, char *buf, int len) {
    // A replayed recording names its own calibration copy ("" for none).
    if (const char *own = _kavro_dev_calib_override(dev)) {
        if (buf == nullptr || len <= 0 || std::strlen(own) >= static_cast<size_t>(len)) return nullptr;
        std::memcpy(buf, own, std::strlen(own) + 1);
        return buf;
    }
    return _kavro_param_name_build(dev, buf, len, false, kavro_param_batch_get);
}

char *kavro_get_param_lens_absolute_name(kavro_dev_t *dev, char *buf, int len) {
    return _kavro_param_name_build(dev, buf, len, true, kavro_param_batch_get);
}

}  // extern "C"
