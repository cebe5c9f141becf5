// Internals of the calibration package download, reachable by tests.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kavro.h"

/** Size of one frame of the package in data-upload mode. */
inline constexpr uint32_t kCalibFrameSize = 153600;
/** Largest package a device may announce. */
inline constexpr uint32_t kCalibMaxFsize = 0xA00000u;
/** Largest archive entry extracted: the largest parameter file there can be. */
inline constexpr uint64_t kCalibMaxEntrySize = 1202u + 0x10240000u;

/**
 * Whether an archive entry name stays inside the folder it is extracted to:
 * not empty, relative, no backslash, no drive letter, no "." or ".."
 * component and no empty component (a trailing '/' marks a folder).
 */
bool _calib_entry_name_safe(const char *name);

/**
 * Extract every entry of the archive zip_path into the folder prefix dir
 * (names are appended to dir as they are). Entries with unsafe names, links
 * and other special entries are skipped with an error message. Each file is
 * written under a temporary name and renamed when complete. True only when
 * the archive opened and every entry was extracted.
 */
bool _calib_unzip(const char *zip_path, const char *dir);

/**
 * Copy `size` bytes from src (named src_name in messages) into out_path:
 * written to a temporary file beside out_path and renamed over it only when
 * every byte arrived, so out_path holds either its old content or the full
 * new content. False (temporary file removed) on a short read or write.
 */
bool _calib_copy_payload(FILE *src, const char *src_name, const char *out_path, uint32_t size);

/**
 * Test hook: when set, called after each piece written to the temporary
 * file, with the temporary and the final name.
 */
extern void (*_calib_write_piece_hook)(const char *tmp_path, const char *out_path);
