// Writes the input to a file, opens it as a calibration parameter file and
// parses every block, checking that what the open accepted is consistent:
// at most seven blocks, every block inside the input, every block readable
// again with exactly the input's bytes, and (current layout) block sizes
// adding up to the declared total. A refused file must leave the handle
// invalid with no open file.
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
    return 0;
}
