// Writes the input to a file, opens it as a calibration parameter file and
// parses every block, checking that what the open accepted is consistent:
// at most seven blocks, every block inside the input, every block readable
// again with exactly the input's bytes, and (current layout) block sizes
// adding up to the declared total. A refused file must leave the handle
// invalid with no open file.
//
// Every input, accepted by the container or not, is then read by the EPC
// driver's calibration mount as the file of a driver at no frequency (the
// first DRNU block) and at 15 MHz (a block found by skipping others): the
// block reader and the mount must refuse or use whatever the file holds
// without reading past a buffer, and leave either a usable block of the
// driver's frequency or nothing mounted.
#include <pthread.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The module is compiled into this binary rather than taken from the static
// library, so that libFuzzer's coverage instrumentation (applied only to the
// fuzz target's own sources) sees the parser's branches.
#include "kavro_param.cpp"

#include "driver/epc/epc_calc.h"
#include "driver/epc/epc_calib.h"
#include "driver/epc/kavro_driver_epc.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// One scratch file name per process, in memory where the machine has
// /dev/shm. The file is removed after every input, so nothing is left behind
// however the fuzzer ends.
const std::string &scratch_path() {
    static const std::string path = [] {
        for (const char *base : {"/dev/shm", "/tmp"}) {
            std::string tmpl = std::string(base) + "/kavro_fuzz_param_XXXXXX";
            const int fd = mkstemp(tmpl.data());
            if (fd >= 0) {
                close(fd);
                return tmpl;
            }
        }
        std::abort();
    }();
    return path;
}

// Removes the scratch file when an input is done.
struct ScratchFile {
    const std::string &path = scratch_path();
    ~ScratchFile() { std::remove(path.c_str()); }
};

struct Expect {
    const uint8_t *input;
    size_t input_size;
    size_t offset;
    const kavro_param_blk_unit_t *unit;
    bool called;
};

int compare_block(kavro_param_handle_t *, const kavro_param_blk_unit_t *unit, void *data, int data_len, void *arg) {
    auto *e = static_cast<Expect *>(arg);
    e->called = true;
    check(unit == e->unit);
    check(data != nullptr && data_len >= 0);
    check(static_cast<uint32_t>(data_len) == unit->size);
    check(e->offset + static_cast<size_t>(data_len) <= e->input_size);
    check(std::memcmp(data, e->input + e->offset, static_cast<size_t>(data_len)) == 0);
    return 1;
}

// Mounts the file at `path` on a fresh EPC driver record for `freq` (0: the
// first DRNU block) and checks what the mount left.
void mount_file(const std::string &path, uint32_t freq) {
    epc_drv_t edrv{};
    kavro_drv_t drv{};
    pthread_mutex_init(&edrv.drnu_mutex, nullptr);
    edrv.mod_freq = freq;
    edrv.param_valid = true;
    check(path.size() < sizeof edrv.pname);
    std::memcpy(edrv.pname, path.c_str(), path.size() + 1);
    drv.priv_data = &edrv;
    check(epc_calc_init(&drv));
    auto *calc = static_cast<epc_calc_t *>(edrv.priv_data);
    pthread_mutex_lock(&edrv.drnu_mutex);
    const int r = epc_calc_mount_calib(&drv);
    pthread_mutex_unlock(&edrv.drnu_mutex);
    if (r == 1) {
        check(calc->drnu.payload != nullptr);
        check(freq == 0 || calc->drnu.hdr.mod_freq == freq);
        check(edrv.mod_freq == calc->drnu.hdr.mod_freq);
        check(calc->config.num_calib_dist >= 2 && calc->config.num_calib_dist == calc->drnu.hdr.num_dist);
        check(calc->config.calib_pixs == nullptr);
        check(epc_calc_calib_loaded(&drv));
    } else {
        check(r == -1);
        check(calc->drnu.payload == nullptr && calc->config.calib_pixs == nullptr);
        check(calc->config.calib_simple_scale_um == 1000 && calc->config.calib_simple_offset_mm == -2000);
        check(!epc_calc_calib_loaded(&drv));
    }
    pthread_mutex_lock(&edrv.drnu_mutex);
    epc_calc_uninit(&drv);
    pthread_mutex_unlock(&edrv.drnu_mutex);
    pthread_mutex_destroy(&edrv.drnu_mutex);
}

void mount_all(const std::string &path) {
    mount_file(path, 0);
    mount_file(path, 15000000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const ScratchFile scratch;
    const std::string &path = scratch.path;
    FILE *f = std::fopen(path.c_str(), "wb");
    check(f != nullptr);
    check(size == 0 || std::fwrite(data, 1, size, f) == size);
    check(std::fclose(f) == 0);

    kavro_param_handle_t h;
    std::memset(&h, 0xA5, sizeof h);
    if (!kavro_param_open_file(&h, path.c_str())) {
        check(!kavro_param_is_valid(&h));
        check(h.fd == nullptr);
        check(kavro_param_get_blk_cnt(&h) == 0);
        mount_all(path);
        return 0;
    }
    check(kavro_param_is_valid(&h));
    check(size >= sizeof(kavro_param_t));
    check(std::memcmp(&h.vx_hdr, data, sizeof h.vx_hdr) == 0);
    const int cnt = kavro_param_get_blk_cnt(&h);
    check(cnt >= 0 && cnt <= KAVRO_PARAM_BLK_MAX);

    const bool current = h.vx_hdr.p_fix.ver >= KAVRO_PARAM_VER_CURRENT_LAYOUT;
    uint64_t total = 0;
    for (int i = 0; i < cnt; ++i) {
        const size_t off = h.par_blk_offset[i];
        const uint32_t blk_size = h.par_blk_hdr[i].size;
        check(off >= sizeof(kavro_param_t) && off <= size && blk_size <= size - off);
        if (current) {
            // The unit header sits right before the data.
            check(std::memcmp(data + off - sizeof(kavro_param_blk_unit_t), &h.par_blk_hdr[i],
                              sizeof(kavro_param_blk_unit_t)) == 0);
            total += sizeof(kavro_param_blk_unit_t) + blk_size;
        } else {
            check(h.par_blk_hdr[i].type == 1 && data[off - 1] == 1);
        }
        Expect e{data, size, off, &h.par_blk_hdr[i], false};
        check(kavro_param_parse_blk(&h, i, compare_block, &e));
        check(e.called);
    }
    if (current) check(total == h.vx_hdr.p_blks.blk_size_total);
    Expect none{data, size, 0, nullptr, false};
    check(!kavro_param_parse_blk(&h, cnt, compare_block, &none) && !none.called);

    kavro_param_close(&h);
    check(!kavro_param_is_valid(&h));
    mount_all(path);
    return 0;
}
