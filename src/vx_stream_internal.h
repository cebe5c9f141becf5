// Frame stream internals, shared by vx_stream.cpp and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>

#include "vx_stream.h"

/// One frame: node header and frame bytes in a single allocation. Lists of
/// nodes are doubly linked; the head's `prev` points at the tail and the
/// tail's `next` is null.
struct vx_fr_node_t {
    vx_fr_node_t *next;
    vx_fr_node_t *prev;
    vx_frinfo_t info;
    uint64_t host_ns;    // steady clock when the last byte arrived (0 until then)
    uint32_t d_len;      // bytes filled
    uint32_t d_capacity; // = info.frame_size
    uint8_t *d;          // points just past this header, inside the same block
};

struct vx_stream {
    vx_stream_cfg_t cfg{};
    vx_fr_node_t *frlist = nullptr; // finished frames, oldest first
    // Guards `frlist` and every counter in `state`: the feeding thread takes
    // it (shortly) for each counter update so that readers never race.
    std::shared_mutex frlist_lock;

    uint8_t cur_hdr_raw[VX_STREAM_HDR_SIZE]{}; // header bytes being collected
    vx_stream_hdr_t cur_hdr{};                 // the header in force, decoded
    bool need_sync_fr_bound = false; // payloads ignored until a header with fr_bound
    bool need_sync_next_hdr = false; // current payload complete, a header must follow
    uint8_t cur_hdr_len = 0;         // header bytes held (0-36)
    uint32_t cur_hdr_rdy_dlen = 0;   // payload bytes of the current header consumed
    uint32_t cur_hdr_data_cksum = 0; // running payload sum
    uint8_t cksum_tail[4]{};         // bytes of a payload word split between feeds
    uint8_t cksum_tail_len = 0;
    uint16_t cur_hdr_fridx = 0;      // frames completed within the current payload
    int32_t prev_hdr_idx = -1;
    int32_t prev_hdr_fr_idx = -1;
    uint16_t prev_hdr_fr_cnt = 1;
    vx_fr_node_t *cur_fr_node = nullptr; // frames being filled
    vx_stream_state_t state{};
};

/// Allocation used for frame nodes; tests replace it to simulate memory
/// exhaustion. Must return memory releasable with ::operator delete.
extern void *(*_vx_stream_node_alloc)(std::size_t bytes);

/// vx_stream_fetch_frames that also gives the first frame's arrival time
/// (`host_ns`, steady clock in ns; may be null).
int _vx_stream_fetch_frames_ts(vx_stream_t s, void *outbuf, int outbuf_sz, int frame_cnt, vx_frinfo_t *finfo,
                               bool peek, uint64_t *host_ns);
