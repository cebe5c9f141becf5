// General k x k median filter for odd kernel sizes.
//
// The window is kept as a list of its k * k samples sorted by value, with a
// pointer to the median node and a balance counter, so moving the window by
// one column or row costs k removals and k insertions instead of a re-sort.
// The image is walked in serpentine order (left to right on even rows,
// right to left on odd rows) so that every step exchanges exactly one
// column or one row of the window. A grid indexed by window position finds
// the node of a sample to remove; removed nodes are reused by the next
// insertion, so after the first window nothing is allocated.
#include <cstdint>
#include <cstdlib>

#include "vx_log_internal.h"
#include "vx_medfilter.h"

namespace {

struct _win_node {
    _win_node *prev;  // previous node; the head's prev is the tail
    _win_node *next;  // next node; null at the tail
    uint32_t val;     // the sample value
    int x;            // window column of the sample (may lie outside the image)
    int y;            // window row of the sample (may lie outside the image)
};

struct _med_win_t {
    const uint16_t *src;
    int w, h;
    int k_size;
    _win_node **map_node;  // (w + 2 pad) x (h + 2 pad) node references by window position
    int pad;
    int med_mov;           // nodes after the median minus nodes before it
    _win_node *val_med;    // the median node
    _win_node *vals;       // head of the sorted list
    int val_cnt;
};

// Owns the window record, its grid and every node in its list.
struct WinOwner {
    _med_win_t *win = nullptr;
    ~WinOwner() {
        if (!win) return;
        for (_win_node *n = win->vals; n;) {
            _win_node *next = n->next;
            free(n);
            n = next;
        }
        free(static_cast<void *>(win->map_node));
        free(win);
    }
};

inline int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline size_t grid_index(const _med_win_t *win, int x, int y) {
    const size_t gw = static_cast<size_t>(win->w) + 2 * static_cast<size_t>(win->pad);
    return static_cast<size_t>(y + win->pad) * gw + static_cast<size_t>(x + win->pad);
}

inline void rebalance(_med_win_t *win) {
    if (win->med_mov == 2) {
        win->val_med = win->val_med->next;
        win->med_mov = 0;
    } else if (win->med_mov == -2) {
        win->val_med = win->val_med->prev;
        win->med_mov = 0;
    }
}

// Link node in front of p (p is in the list).
inline void insert_before(_med_win_t *win, _win_node *p, _win_node *node) {
    node->next = p;
    node->prev = p->prev;
    if (p == win->vals)
        win->vals = node;  // node->prev already refers to the tail
    else
        p->prev->next = node;
    p->prev = node;
}

inline void append_tail(_med_win_t *win, _win_node *node) {
    _win_node *tail = win->vals->prev;
    tail->next = node;
    node->prev = tail;
    node->next = nullptr;
    win->vals->prev = node;
}

// Add the sample at window position (x, y), reusing node when given.
void _median2d_u16_add_val(_med_win_t *win, int x, int y, _win_node *node) {
    const int sx = clampi(x, 0, win->w - 1);
    const int sy = clampi(y, 0, win->h - 1);
    const uint32_t v = win->src[static_cast<size_t>(sy) * static_cast<size_t>(win->w) + static_cast<size_t>(sx)];
    if (!node) {
        node = static_cast<_win_node *>(calloc(1, sizeof(_win_node)));
        if (!node) {
            LOG_ERR("malloc failed\n");
            exit(-3);
        }
    }
    node->val = v;
    node->x = x;
    node->y = y;
    win->map_node[grid_index(win, x, y)] = node;
    win->val_cnt++;

    if (!win->vals) {
        node->prev = node;
        node->next = nullptr;
        win->vals = node;
        win->val_med = node;
        win->med_mov = 0;
        return;
    }
    if (v < win->val_med->val) {
        // Lands before the median: after every node of equal value.
        win->med_mov--;
        _win_node *p = win->vals;
        while (p->val <= v) p = p->next;  // stops at the median at the latest
        insert_before(win, p, node);
    } else {
        win->med_mov++;
        _win_node *p = win->val_med->next;
        while (p && p->val <= v) p = p->next;
        if (p)
            insert_before(win, p, node);
        else
            append_tail(win, node);
    }
    rebalance(win);
}

// Remove the sample at window position (x, y); returns its node for reuse,
// or null when the grid holds none there.
_win_node *_median2d_u16_del_val(_med_win_t *win, int x, int y) {
    const size_t idx = grid_index(win, x, y);
    _win_node *node = win->map_node[idx];
    if (!node) return nullptr;
    win->map_node[idx] = nullptr;

    if (node == win->val_med) {
        // The median's successor takes over; one node fewer after it.
        // With a single node left the list becomes empty below.
        win->val_med = node->next;
        win->med_mov--;
    } else if (node->val > win->val_med->val) {
        win->med_mov--;
    } else if (node->val < win->val_med->val) {
        win->med_mov++;
    } else {
        // Equal values are contiguous: the node lies after the median when
        // it is met walking forward over the median's value.
        bool after = false;
        for (_win_node *p = win->val_med->next; p && p->val == win->val_med->val; p = p->next) {
            if (p == node) {
                after = true;
                break;
            }
        }
        win->med_mov += after ? -1 : 1;
    }

    if (node == win->vals) {
        win->vals = node->next;
        if (win->vals) win->vals->prev = node->prev;
    } else {
        node->prev->next = node->next;
        if (node->next)
            node->next->prev = node->prev;
        else
            win->vals->prev = node->prev;  // node was the tail
    }
    node->prev = node->next = nullptr;
    win->val_cnt--;
    if (!win->vals) {
        win->val_med = nullptr;
        win->med_mov = 0;
    } else if (!win->val_med) {
        // The median was the tail (only possible in a window of two or
        // fewer nodes): fall back to the new tail.
        win->val_med = win->vals->prev;
        win->med_mov = 0;
    }
    if (win->val_med) rebalance(win);
    return node;
}

// Exchange sample (ox, oy) for (nx, ny).
inline void swap_sample(_med_win_t *win, int ox, int oy, int nx, int ny) {
    _win_node *node = _median2d_u16_del_val(win, ox, oy);
    _median2d_u16_add_val(win, nx, ny, node);
}

inline void put_median(const _med_win_t *win, uint16_t *dst, int x, int y) {
    dst[static_cast<size_t>(y) * static_cast<size_t>(win->w) + static_cast<size_t>(x)] =
        static_cast<uint16_t>(win->val_med->val);
}

// Write row i left to right, starting from a window centred on (0, i).
void row_left_to_right(_med_win_t *win, uint16_t *dst, int i) {
    const int pad = win->pad;
    put_median(win, dst, 0, i);
    for (int c = 1; c < win->w; ++c) {
        for (int j = i - pad; j <= i + pad; ++j) swap_sample(win, c - pad - 1, j, c + pad, j);
        put_median(win, dst, c, i);
    }
}

// Write row i right to left, starting from a window centred on (w - 1, i).
void row_right_to_left(_med_win_t *win, uint16_t *dst, int i) {
    const int pad = win->pad;
    put_median(win, dst, win->w - 1, i);
    for (int c = win->w - 2; c >= 0; --c) {
        for (int j = i - pad; j <= i + pad; ++j) swap_sample(win, c + pad + 1, j, c - pad, j);
        put_median(win, dst, c, i);
    }
}

}  // namespace

extern "C" void vx_median2d_u16(uint16_t *dst, const uint16_t *src, int w, int h, int kernel_size) {
    if (kernel_size == 3) {
        vx_median2d_u16_k3(dst, src, w, h);
        return;
    }
    if (kernel_size == 5) {
        vx_median2d_u16_k5(dst, src, w, h);
        return;
    }
    const int64_t k = kernel_size;
    if (k < 3 || (k & 1) == 0 || k >= 2 * static_cast<int64_t>(w) || k >= 2 * static_cast<int64_t>(h)) {
        LOG_ERR(" wrong parameter:w/h/kernel=%d/%d/%d\n", w, h, kernel_size);
        return;
    }

    WinOwner owner;
    owner.win = static_cast<_med_win_t *>(calloc(1, sizeof(_med_win_t)));
    const int pad = (kernel_size - 1) / 2;
    const size_t grid = (static_cast<size_t>(w) + 2 * static_cast<size_t>(pad)) *
                        (static_cast<size_t>(h) + 2 * static_cast<size_t>(pad));
    if (owner.win) owner.win->map_node = static_cast<_win_node **>(calloc(grid, sizeof(_win_node *)));
    if (!owner.win || !owner.win->map_node) {
        LOG_ERR("malloc failed\n");
        exit(-3);
    }
    _med_win_t *win = owner.win;
    win->src = src;
    win->w = w;
    win->h = h;
    win->k_size = kernel_size;
    win->pad = pad;
    win->med_mov = 0;
    win->val_med = nullptr;
    win->vals = nullptr;
    win->val_cnt = 0;

    for (int y = -pad; y <= pad; ++y)
        for (int x = -pad; x <= pad; ++x) _median2d_u16_add_val(win, x, y, nullptr);

    row_left_to_right(win, dst, 0);
    for (int i = 1; i < h; ++i) {
        // Slide down at the column where the previous row ended.
        const int cx = (i - 1) % 2 == 0 ? w - 1 : 0;
        for (int x = cx - pad; x <= cx + pad; ++x) swap_sample(win, x, i - pad - 1, x, i + pad);
        if (i % 2 == 1)
            row_right_to_left(win, dst, i);
        else
            row_left_to_right(win, dst, i);
    }
}
