// Calibration package download: switch the camera into data-upload mode,
// capture the package it streams as frames into "calibration.bin", check the
// package header and write the payload out as the device's parameter file,
// or as "tmp.zip" extracted into the device's path.
//
// Files that later decide how the camera is calibrated are never written in
// place: every output goes to a temporary file beside its final name and is
// renamed over it only once complete, so an interrupted download leaves
// either the old file or the full new one. "calibration.bin" and "tmp.zip"
// are working files of one download: they are removed whether it succeeded
// or not, so a download that did not finish leaves the folder as it was and
// the next open tries again. A download killed outright leaves its
// temporary files behind: the next download of the folder removes them.
// Archive entries whose names would leave the
// device's folder, and links, are refused.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kavro.h"
#include "kavro_param.h"
#include "kavro_param_load_internal.h"
#include "vx_log_internal.h"
#include "vx_port.h"

void (*_calib_write_piece_hook)(const char *tmp_path, const char *out_path) = nullptr;

namespace {

constexpr uint32_t kCapBufSize = 1228800;  // eight package frames
constexpr uint16_t kMinSwVer = 133;        // firmware that can send the package
constexpr size_t kPathMax = 255;
constexpr size_t kCopyPiece = 4096;
constexpr uint32_t kModeNormal = 0;
constexpr uint32_t kModeDataUp = 9;

#pragma pack(push, 1)
struct calib_hdr_t {
    uint8_t valid;
    uint8_t flag;  // 1: the payload is a zip archive
    uint32_t ID;
    uint32_t timestamp;
    uint32_t fsize;  // whole package, header included
    uint32_t datasize;
};
#pragma pack(pop)
static_assert(sizeof(calib_hdr_t) == 18);

// Entries extracted since the library was loaded (for the log only).
std::atomic<int> g_extracted_cnt{0};

// Why the download running on this thread failed: the first failure counts
// (later ones follow from it). Read by kavro_param_load_from_dev_ex.
struct load_failure {
    kavro_param_load_e code = KAVRO_PARAM_LOAD_OK;
    std::string why;
};
thread_local load_failure t_fail;

void note_fail(kavro_param_load_e code, const std::string &why) {
    if (t_fail.code != KAVRO_PARAM_LOAD_OK) return;
    t_fail.code = code;
    t_fail.why = why;
}

// A file in the cache folder could not be created or written: errno names
// the cause (a read-only or missing folder, a full disk).
void note_store_fail(const std::string &path) {
    const int e = errno;
    note_fail(KAVRO_PARAM_LOAD_STORE, "cannot write " + path + ": " + (e ? std::strerror(e) : "write failed"));
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct ZipDiscard {
    void operator()(zip_t *z) const { zip_discard(z); }
};
struct ZipFileClose {
    void operator()(zip_file_t *f) const { zip_fclose(f); }
};

bool set_dev_mode(kavro_dev_t *dev, uint32_t mode) {
    kavro_param_item_t it{};
    it.param_id = PARAM_DEV_MODE;
    it.param_val_len = 1;
    it.param_val.dev_mode = mode;
    return kavro_param_batch_set(dev, &it, 1);
}

// A temporary file beside `out_path`, created exclusively.
struct tmp_file_t {
    std::string path;
    FILE *f = nullptr;
};

}  // namespace

static bool _tmp_open(const char *out_path, tmp_file_t *t) {
    t->path = std::string(out_path) + ".XXXXXX";
    const int fd = mkstemp(t->path.data());
    if (fd < 0) {
        note_store_fail(out_path);
        LOG_ERR("Open %s failed\n", t->path.c_str());
        return false;
    }
    fchmod(fd, 0644);
    t->f = fdopen(fd, "wb");
    if (!t->f) {
        note_store_fail(out_path);
        close(fd);
        unlink(t->path.c_str());
        LOG_ERR("Open %s failed\n", t->path.c_str());
        return false;
    }
    return true;
}

static void _tmp_discard(tmp_file_t *t) {
    if (t->f) std::fclose(t->f);
    t->f = nullptr;
    unlink(t->path.c_str());
}

// Flush the temporary file to disk and rename it to out_path.
static bool _tmp_commit(tmp_file_t *t, const char *out_path) {
    bool ok = std::fflush(t->f) == 0 && fsync(fileno(t->f)) == 0;
    ok = (std::fclose(t->f) == 0) && ok;
    t->f = nullptr;
    if (!ok || std::rename(t->path.c_str(), out_path) != 0) {
        note_store_fail(out_path);
        LOG_ERR("write %s failed: %s\n", out_path, std::strerror(errno));
        unlink(t->path.c_str());
        return false;
    }
    return true;
}

bool _calib_copy_payload(FILE *src, const char *src_name, const char *out_path, uint32_t size) {
    tmp_file_t t;
    if (!_tmp_open(out_path, &t)) return false;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kCopyPiece]);
    if (!buf) {
        LOG_ERR("malloc failed\n");
        std::exit(-3);
    }
    uint32_t rem = size;
    while (rem > 0) {
        const size_t n = rem < kCopyPiece ? rem : kCopyPiece;
        if (std::fread(buf.get(), 1, n, src) != n) {
            note_fail(KAVRO_PARAM_LOAD_TRANSFER, std::string("the package ") + src_name + " is shorter than it says");
            LOG_ERR("read %s failed: rem_size = %d\n", src_name, static_cast<int>(rem));
            _tmp_discard(&t);
            return false;
        }
        if (std::fwrite(buf.get(), 1, n, t.f) != n) {
            note_store_fail(out_path);
            LOG_ERR("write %s failed: rem_size = %d\n", out_path, static_cast<int>(rem));
            _tmp_discard(&t);
            return false;
        }
        rem -= static_cast<uint32_t>(n);
        if (_calib_write_piece_hook) _calib_write_piece_hook(t.path.c_str(), out_path);
    }
    return _tmp_commit(&t, out_path);
}

bool _calib_entry_name_safe(const char *name) {
    if (!name || !*name) return false;
    if (name[0] == '/') return false;             // absolute
    if (std::strchr(name, '\\')) return false;    // a separator elsewhere: a\..\b
    if (std::strchr(name, ':')) return false;     // drive letters, streams
    const char *p = name;
    while (*p) {
        const char *e = std::strchr(p, '/');
        const size_t len = e ? static_cast<size_t>(e - p) : std::strlen(p);
        if (len == 0) return false;  // "a//b"
        if ((len == 1 && p[0] == '.') || (len == 2 && p[0] == '.' && p[1] == '.')) return false;
        if (!e) break;
        p = e + 1;  // a trailing '/' ends the loop: a folder entry
    }
    return true;
}

// Create the folders of `rel` (up to its last '/') under the prefix dir.
static bool _calib_make_parents(const std::string &dir, const std::string &rel) {
    for (size_t pos = rel.find('/'); pos != std::string::npos; pos = rel.find('/', pos + 1)) {
        const std::string sub = dir + rel.substr(0, pos);
        if (!vx_port::dir_exists(sub.c_str()) && !vx_port::make_dir(sub.c_str())) {
            LOG_ERR("create folder %s failed\n", sub.c_str());
            return false;
        }
    }
    return true;
}

// One regular entry into dir + name, through a temporary file.
static bool _calib_unzip_entry(zip_t *za, zip_uint64_t idx, const zip_stat_t &st, const std::string &out) {
    std::unique_ptr<zip_file_t, ZipFileClose> zf(zip_fopen_index(za, idx, 0));
    if (!zf) {
        LOG_ERR("open zip entry %s failed: %s\n", st.name, zip_strerror(za));
        return false;
    }
    tmp_file_t t;
    if (!_tmp_open(out.c_str(), &t)) return false;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kCopyPiece]);
    if (!buf) {
        LOG_ERR("malloc failed\n");
        std::exit(-3);
    }
    uint64_t total = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(zf.get(), buf.get(), kCopyPiece);
        if (n < 0) {  // includes a CRC mismatch at the end of the entry
            LOG_ERR("read zip entry %s failed: %s\n", st.name, zip_file_strerror(zf.get()));
            _tmp_discard(&t);
            return false;
        }
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (total > kCalibMaxEntrySize || std::fwrite(buf.get(), 1, static_cast<size_t>(n), t.f) != static_cast<size_t>(n)) {
            LOG_ERR("write %s failed: %llu bytes\n", out.c_str(), static_cast<unsigned long long>(total));
            _tmp_discard(&t);
            return false;
        }
    }
    if ((st.valid & ZIP_STAT_SIZE) && total != st.size) {
        LOG_ERR("zip entry %s: %llu of %llu bytes\n", st.name, static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(st.size));
        _tmp_discard(&t);
        return false;
    }
    return _tmp_commit(&t, out.c_str());
}

bool _calib_unzip(const char *zip_path, const char *dir) {
    int zerr = 0;
    std::unique_ptr<zip_t, ZipDiscard> za(zip_open(zip_path, ZIP_RDONLY, &zerr));
    if (!za) {
        LOG_ERR("open %s failed: zip error %d\n", zip_path, zerr);
        return false;
    }
    const zip_int64_t cnt = zip_get_num_entries(za.get(), 0);
    const std::string base = dir ? dir : "";
    bool ok = cnt >= 0;
    for (zip_int64_t i = 0; i < cnt; ++i) {
        const auto idx = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za.get(), idx, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
            LOG_ERR("zip entry #%d unreadable\n", static_cast<int>(i));
            ok = false;
            continue;
        }
        if (!_calib_entry_name_safe(st.name)) {
            LOG_ERR("zip entry %s skipped: it would land outside %s\n", st.name, base.c_str());
            ok = false;
            continue;
        }
        // Only regular files and folders: a link could point anywhere.
        zip_uint8_t opsys = 0;
        zip_uint32_t attr = 0;
        if (zip_file_get_external_attributes(za.get(), idx, 0, &opsys, &attr) == 0 && opsys == ZIP_OPSYS_UNIX) {
            const mode_t type = static_cast<mode_t>(attr >> 16) & S_IFMT;
            if (type != 0 && type != S_IFREG && type != S_IFDIR) {
                LOG_ERR("zip entry %s skipped: not a regular file\n", st.name);
                ok = false;
                continue;
            }
        }
        const std::string rel = st.name;
        if (!_calib_make_parents(base, rel)) {
            ok = false;
            continue;
        }
        if (rel.back() == '/') continue;  // a folder: made above
        if ((st.valid & ZIP_STAT_SIZE) && st.size > kCalibMaxEntrySize) {
            LOG_ERR("zip entry %s skipped: %llu bytes\n", st.name, static_cast<unsigned long long>(st.size));
            ok = false;
            continue;
        }
        if (!_calib_unzip_entry(za.get(), idx, st, base + rel)) {
            ok = false;
            continue;
        }
        LOG_DBG("Extracted: %s (%d of %d)\n", st.name, ++g_extracted_cnt, 1);
    }
    return ok;
}

// Capture the package frames into the open file, each at its place by its
// index. The device sends the package round and round; a host that cannot
// keep up loses frames, which come again on a later round, so a frame is
// taken whenever it arrives and only the missing ones are waited for. The
// download gives up when three rounds' worth of frames brought nothing new
// (the device does not hold what it announced). Returns the number of
// frames written.
static uint32_t _calib_download(kavro_dev_t *dev, FILE *f, const char *path, uint32_t fr_num) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kCalibFrameSize]);
    if (!buf) {
        LOG_ERR("malloc failed\n");
        std::exit(-3);
    }
    if (!kavro_cap_start(dev)) {
        LOG_ERR("capture start for the calibration package failed\n");
        return 0;
    }
    std::vector<bool> have(fr_num, false);
    uint32_t written = 0;
    uint32_t idle = 0;  // frames got since the last new one
    while (written < fr_num && idle < 3 * fr_num + 8) {
        ++idle;
        kavro_frame_t fr{};
        const int ret = kavro_cap_get_frames(dev, 1, buf.get(), kCalibFrameSize, &fr);
        if (ret != 1) {
            LOG_DBG("get calib frames failed: ret=%d\n", ret);
            break;
        }
        const uint32_t idx = fr.frame_info.frame_idx;
        if (idx >= fr_num || have[idx] || fr.frame_info.frame_size != kCalibFrameSize) {
            LOG_DBG("calib frame #%u (%u bytes) skipped, %u of %u taken\n", idx, fr.frame_info.frame_size, written,
                    fr_num);
            continue;
        }
        if (std::fseek(f, static_cast<long>(idx) * static_cast<long>(kCalibFrameSize), SEEK_SET) != 0 ||
            std::fwrite(buf.get(), 1, kCalibFrameSize, f) != kCalibFrameSize) {
            note_store_fail(path);
            LOG_ERR("write calib frames to %s failed\n", path);
            break;
        }
        have[idx] = true;
        ++written;
        idle = 0;
    }
    kavro_cap_stop(dev);
    return written;
}

// Check the captured package and write its payload out (parameter file or
// archive, then extracted). The caller removes the package file afterwards;
// an archive is removed here, extracted or not.
static void _calib_pk_parse(kavro_dev_t *dev, const std::string &dir, const std::string &pkg_path) {
    FilePtr in(std::fopen(pkg_path.c_str(), "rb"));
    if (!in) {
        LOG_ERR("Open %s failed\n", pkg_path.c_str());
        return;
    }
    long file_size = -1;
    if (std::fseek(in.get(), 0, SEEK_END) == 0) file_size = std::ftell(in.get());
    calib_hdr_t hdr{};
    if (file_size < 0 || std::fseek(in.get(), 0, SEEK_SET) != 0 || std::fread(&hdr, sizeof hdr, 1, in.get()) != 1) {
        note_fail(KAVRO_PARAM_LOAD_TRANSFER, "the package did not arrive (" + pkg_path + " has no header)");
        LOG_ERR("Read header of %s falied\n", pkg_path.c_str());
        return;
    }
    LOG_TRC("fsize, dsize = %d, %d\n", static_cast<int>(hdr.fsize), static_cast<int>(hdr.datasize));
    if (hdr.valid == 0 || static_cast<long>(hdr.fsize) != file_size || hdr.datasize == 0 || hdr.timestamp == 0 ||
        static_cast<uint64_t>(hdr.fsize) < static_cast<uint64_t>(hdr.datasize) + sizeof hdr) {
        note_fail(KAVRO_PARAM_LOAD_TRANSFER, "the package " + pkg_path + " arrived incomplete or damaged");
        LOG_ERR("%s header verify failed: valid=%d, ts=%u, fsize=%d (expect=%d), dsize=%d)\n", pkg_path.c_str(),
                hdr.valid, static_cast<unsigned>(hdr.timestamp), static_cast<int>(hdr.fsize),
                static_cast<int>(file_size), static_cast<int>(hdr.datasize));
        return;
    }

    const bool zipped = hdr.flag == 1;
    std::string out;
    if (zipped) {
        out = dir + "tmp.zip";
        std::remove(out.c_str());
    } else {
        char pname[kPathMax + 1] = {};
        if (!kavro_get_param_absolute_name(dev, pname, sizeof pname)) {
            note_fail(KAVRO_PARAM_LOAD_DEVICE, "cannot read the camera's identity to name the calibration file");
            LOG_ERR("Open %s failed\n", "kavro_param");
            return;
        }
        out = pname;
    }
    if (!_calib_copy_payload(in.get(), pkg_path.c_str(), out.c_str(), hdr.datasize)) return;
    in.reset();

    if (zipped) {
        const bool ok = _calib_unzip(out.c_str(), dir.c_str());
        if (!ok) note_fail(KAVRO_PARAM_LOAD_TRANSFER, "the package's archive " + out + " could not be extracted");
        if (ok)
            LOG_DBG("unzip %s OK\n", out.c_str());
        else
            LOG_ERR("unzip %s failed\n", out.c_str());
        std::remove(out.c_str());
    }
}

// Removes the temporary files a killed download left in `dir`: those of the
// parameter file `pname` (its name and six characters from mkstemp) and of
// the archive.
static void _calib_remove_stale(const std::string &dir, const std::string &pname) {
    const size_t slash = pname.rfind('/');
    const std::string base = slash == std::string::npos ? pname : pname.substr(slash + 1);
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    while (const dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        for (const std::string &stem : {base + ".", std::string("tmp.zip.")}) {
            if (!base.empty() && n.size() == stem.size() + 6 && n.compare(0, stem.size(), stem) == 0) {
                LOG_DBG("removing %s%s, left by an unfinished download\n", dir.c_str(), n.c_str());
                unlink((dir + n).c_str());
            }
        }
    }
    closedir(d);
}

bool kavro_param_load_from_dev(kavro_dev_t *dev) {
    if (!dev) return false;
    kavro_cap_set_frame_buffer(dev, nullptr, kCapBufSize);
    kavro_cap_set_callback_on_error(dev, nullptr);
    kavro_cap_set_callback_on_frame_ready(dev, nullptr);

    if (!set_dev_mode(dev, kModeDataUp)) {
        note_fail(KAVRO_PARAM_LOAD_DEVICE, "the camera did not switch to data-upload mode");
        LOG_ERR(" set mode to DATA_UP failed!\n");
        return false;
    }

    bool result = false;
    kavro_param_item_t it{};
    it.param_id = PARAM_INFO_CALIB;
    if (!kavro_param_batch_get(dev, &it, 1)) {
        note_fail(KAVRO_PARAM_LOAD_DEVICE, "cannot read the camera's calibration information");
        LOG_ERR(" get param of calib data failed!\n");
    } else {
        const auto &ci = it.param_val.cinfo;
        const uint32_t fsize = ci.fsize;
        const uint32_t dsize = ci.datasize;
        const uint32_t fr_num = fsize / kCalibFrameSize;
        LOG_DBG("valid:%d, fsize:%d, fr_num: %d\n", ci.valid, static_cast<int>(fsize), static_cast<int>(fr_num));
        const bool usable = ci.valid == 1 && dev->version.ver.sw_ver >= kMinSwVer && ci.timestamp != 0 &&
                            fsize <= kCalibMaxFsize && static_cast<uint64_t>(fsize) >= static_cast<uint64_t>(dsize) + 18;
        if (!usable) note_fail(KAVRO_PARAM_LOAD_NO_PACKAGE, "the camera holds no usable calibration package");
        if (usable) {
            const std::string dir = dev->expath ? dev->expath : "";
            const std::string pkg_path = dir + "calibration.bin";
            char pname[kPathMax + 1] = {};
            if (kavro_get_param_absolute_name(dev, pname, sizeof pname)) _calib_remove_stale(dir, pname);
            FilePtr f;
            errno = 0;
            if (pkg_path.size() <= kPathMax) f.reset(std::fopen(pkg_path.c_str(), "wb+"));
            if (!f) {
                note_store_fail(pkg_path);
                LOG_ERR("open %s failed\n", pkg_path.c_str());
            } else {
                result = true;
                const uint32_t got = _calib_download(dev, f.get(), pkg_path.c_str(), fr_num);
                f.reset();
                if (got == fr_num)
                    _calib_pk_parse(dev, dir, pkg_path);
                else {
                    note_fail(KAVRO_PARAM_LOAD_TRANSFER, "the download ended after " + std::to_string(got) + " of " +
                                                             std::to_string(fr_num) + " frames");
                    LOG_ERR("calibration download ended after %u of %u frames: the parameter file is left as it was\n",
                            got, fr_num);
                }
                std::remove(pkg_path.c_str());
            }
        }
    }

    if (!set_dev_mode(dev, kModeNormal) && !set_dev_mode(dev, kModeNormal))
        LOG_ERR("Device set back to normal mode failed! It may not work\n");
    return result;
}

kavro_param_load_e kavro_param_load_from_dev_ex(kavro_dev_t *dev, char *why, int why_len) {
    t_fail = load_failure{};
    const bool started = kavro_param_load_from_dev(dev);
    load_failure f = t_fail;
    t_fail = load_failure{};
    if (!dev) f = {KAVRO_PARAM_LOAD_DEVICE, "no device"};
    if (started && f.code == KAVRO_PARAM_LOAD_OK) {
        // The download ran: the file it left must be a valid parameter file.
        char pname[kPathMax + 1] = {};
        kavro_param_handle_t h{};
        if (!kavro_get_param_absolute_name(dev, pname, sizeof pname)) {
            f = {KAVRO_PARAM_LOAD_DEVICE, "cannot read the camera's identity to name the calibration file"};
        } else {
            const bool valid = kavro_param_open_file(&h, pname) && kavro_param_is_valid(&h);
            kavro_param_close(&h);
            if (!valid) f = {KAVRO_PARAM_LOAD_TRANSFER, std::string("the downloaded calibration is not valid: ") + pname};
        }
    } else if (!started && f.code == KAVRO_PARAM_LOAD_OK) {
        f = {KAVRO_PARAM_LOAD_DEVICE, "the download did not start"};
    }
    if (why && why_len > 0) std::snprintf(why, static_cast<size_t>(why_len), "%s", f.why.c_str());
    return f.code;
}
