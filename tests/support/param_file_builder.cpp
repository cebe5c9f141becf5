#include "param_file_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kavro_test {

uint16_t param_fletcher16(const uint8_t *p, size_t n, uint16_t seed) {
    unsigned s1 = seed & 0xFFu, s2 = seed >> 8;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255u;
        s2 = (s2 + s1) % 255u;
    }
    return static_cast<uint16_t>(s2 << 8 | s1);
}

void put_le32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}

void put_le16(std::vector<uint8_t> &b, size_t off, uint16_t v) {
    b.at(off) = static_cast<uint8_t>(v);
    b.at(off + 1) = static_cast<uint8_t>(v >> 8);
}

void put_f64(std::vector<uint8_t> &b, size_t off, double v) {
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    for (int i = 0; i < 8; ++i) b.at(off + i) = static_cast<uint8_t>(u >> (8 * i));
}

uint32_t get_le32(const std::vector<uint8_t> &b, size_t off) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b.at(off + i)) << (8 * i);
    return v;
}

std::vector<uint8_t> param_pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto &b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

void param_file_seal_header(std::vector<uint8_t> &file) {
    using O = ParamFileOffsets;
    put_le16(file, O::hdr_cksum, param_fletcher16(file.data() + O::lens, O::hdr_cksum_end - O::lens));
}

std::vector<uint8_t> build_param_file(const ParamFileDesc &desc) {
    using O = ParamFileOffsets;
    const bool old = desc.ver < 140;
    std::vector<uint8_t> f(O::blocks, 0);

    f[O::ver] = desc.ver;
    put_le32(f, O::ts, desc.ts);
    put_le32(f, O::magic_id, desc.magic.value_or(old ? 1000u : 0x31505856u));
    put_le32(f, 9, 0);  // reserved
    f[13] = desc.ver2;
    put_le32(f, 14, 0);  // reserved

    const ParamLens &l = desc.lens;
    std::memcpy(&f[O::lens], l.name.data(), std::min<size_t>(l.name.size(), 64));
    put_f64(f, O::lens_cx, l.cx);
    put_f64(f, O::lens_cy, l.cy);
    put_f64(f, 100, l.fx);
    put_f64(f, 108, l.fy);
    for (size_t i = 0; i < 5; ++i) put_f64(f, 116 + 8 * i, l.dcoeff[i]);
    put_le32(f, 156, l.img_w);
    put_le32(f, 160, l.img_h);
    // reserved2: a pattern, so the header checksum covers non-zero bytes there too.
    for (size_t i = 164; i < O::hdr_cksum_end; ++i) f[i] = static_cast<uint8_t>(desc.reserved2_seed + i * 7);
    put_le16(f, O::hdr_cksum,
             desc.hdr_cksum.value_or(param_fletcher16(f.data() + O::lens, O::hdr_cksum_end - O::lens)));

    for (size_t k = 0; k < desc.blocks.size(); ++k) {
        const ParamBlock &b = desc.blocks[k];
        const size_t at = f.size();
        const auto size = static_cast<uint32_t>(b.data.size());
        if (old) {
            f.resize(at + kParamUnitOldSize, 0);
            f[at] = b.type;
            for (size_t i = 0; i < 5; ++i) put_le32(f, at + 1 + 4 * i, 0x11111111u * static_cast<uint32_t>(i + 1));
            f[at + 21] = static_cast<uint8_t>(0xA0 + k);
            put_le32(f, at + 22, size);
            for (size_t i = 0; i < 4; ++i) put_le32(f, at + 26 + 4 * i, 0xC0DE0000u + static_cast<uint32_t>(k * 4 + i));
        } else {
            f.resize(at + kParamUnitSize, 0);
            f[at] = b.type;
            put_le32(f, at + 1, size);
        }
        f.insert(f.end(), b.data.begin(), b.data.end());
    }
    const size_t blk_bytes = f.size() - O::blocks;
    put_le32(f, O::blk_ts, desc.blk_ts);
    put_le32(f, O::blk_cnt, desc.blk_cnt.value_or(static_cast<uint32_t>(desc.blocks.size())));
    put_le32(f, O::blk_size_total, desc.blk_size_total.value_or(static_cast<uint32_t>(blk_bytes)));
    put_le16(f, O::blk_cksum, desc.blk_cksum.value_or(param_fletcher16(f.data() + O::blocks, blk_bytes)));
    return f;
}

bool write_param_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::unique_ptr<FILE, int (*)(FILE *)> fh(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!fh) return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), fh.get()) != bytes.size()) return false;
    return std::fclose(fh.release()) == 0;
}

}  // namespace kavro_test
