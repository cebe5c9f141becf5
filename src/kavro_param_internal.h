// Internals of the calibration parameter file module, reachable by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kavro.h"
#include "kavro_param.h"

/** Bytes of the fixed header covered by its checksum: offsets 20..1187. */
inline constexpr size_t kParamHdrCksumStart = 20;
inline constexpr size_t kParamHdrCksumLen = sizeof(kavro_param_fix_t) - kParamHdrCksumStart;
/** Largest blk_size_total a current-layout file may declare. */
inline constexpr uint32_t kParamBlkSizeTotalMax = 0x10240000u;

/**
 * Fletcher-16 over bytes with modulus 255. The u16 state holds sum1 in its
 * low byte and sum2 in its high byte, both starting from seed, so a checksum
 * can be continued over several pieces by passing the previous result.
 */
uint16_t _cksum_hash16(const void *buf, size_t len, uint16_t seed);

/** Header checks of a file's first 1202 bytes; each failure logs at debug level. */
bool _param_verify(const kavro_param_t *hdr);

/** The camera's parameter read (kavro_param_batch_get), replaceable in tests. */
typedef bool (*kavro_param_read_f)(kavro_dev_t *dev, kavro_param_item_t *items, int item_cnt);

/**
 * The device's parameter id: (chip id + wafer id * 65536) XOR the first
 * serial word, read through `read`. False (with an error message) when
 * either read fails.
 */
bool _kavro_get_param_id(kavro_dev_t *dev, uint32_t *id, kavro_param_read_f read);

/**
 * "<expath>kavro_param_<id>.bin" (or "<expath>kavro_param_lens_<id>.txt"
 * with `lens`) into buf, truncated to len bytes with the NUL. Returns buf,
 * or null when dev, buf or len is unusable or the id cannot be read.
 */
char *_kavro_param_name_build(kavro_dev_t *dev, char *buf, int len, bool lens, kavro_param_read_f read);
