// Transport dispatch: null records, records without a table, forwarding of
// every argument and result through a table made here, and the list rules
// for init, listing and opening.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "captured_log.h"
#include "kavro_ll.h"
#include "ll/ll_imp.h"

namespace {

// ---- a recording transport ----------------------------------------------------------

struct Seen {
    std::string op;
    kavro_ll_dev_t *dev = nullptr;
    std::vector<uint64_t> args;
    const void *ptr = nullptr;
    void *cb_arg = nullptr;
    kavro_ll_trans_notify_f cb = nullptr;
};

Seen g_seen;
bool g_result = true;  // what the recording ops answer
int g_tx_result = 0;

uint64_t u(uint64_t v) { return v; }
void note(const char *op, kavro_ll_dev_t *dev, std::vector<uint64_t> args, const void *ptr = nullptr) {
    g_seen = Seen{op, dev, std::move(args), ptr};
}

const kavro_ll_op kRecording = {
    .init = [] { return g_result; },
    .uninit = [] {},
    .set_debug = [](int) {},
    .dev_open = [](kavro_ll_dev_t *d) -> kavro_ll_dev_t * {
        note("dev_open", d, {});
        return g_result ? d : nullptr;
    },
    .dev_open_by_fd = [](kavro_ll_dev_t *d, int fd) -> kavro_ll_dev_t * {
        note("dev_open_by_fd", d, {u(fd)});
        return g_result ? d : nullptr;
    },
    .dev_close = [](kavro_ll_dev_t *d) { note("dev_close", d, {}); },
    .dev_list = [](kavro_ll_dev_t *, int) { return 0; },
    .exe_cmd = [](kavro_ll_dev_t *d, bool wr, uint8_t type, uint16_t val, void *buf, int len,
                  uint32_t to) {
        note("exe_cmd", d, {u(wr), u(type), u(val), u(static_cast<uint32_t>(len)), u(to)}, buf);
        return g_result;
    },
    .tx_data = [](kavro_ll_dev_t *d, const void *buf, uint32_t len) {
        note("tx_data", d, {u(len)}, buf);
        return g_tx_result;
    },
    .cap_abort = [](kavro_ll_dev_t *d) { note("cap_abort", d, {}); },
    .cap_start = [](kavro_ll_dev_t *d, uint32_t n, kavro_ll_trans_notify_f cb, void *arg) {
        note("cap_start", d, {u(n)});
        g_seen.cb = cb;
        g_seen.cb_arg = arg;
        return g_result;
    },
    .cap_stop = [](kavro_ll_dev_t *d) {
        note("cap_stop", d, {});
        return g_result;
    },
    .dev_reset = [](kavro_ll_dev_t *d, uint8_t t) {
        note("dev_reset", d, {u(t)});
        return g_result;
    },
    .dev_reg_write = [](kavro_ll_dev_t *d, uint8_t t, uint32_t base, const uint32_t *vals,
                        uint16_t cnt) {
        note("dev_reg_write", d, {u(t), u(base), u(cnt)}, vals);
        return g_result;
    },
    .dev_reg_read = [](kavro_ll_dev_t *d, uint8_t t, uint32_t base, uint32_t *vals, uint16_t cnt) {
        note("dev_reg_read", d, {u(t), u(base), u(cnt)}, vals);
        return g_result;
    },
    .dev_param_set = [](kavro_ll_dev_t *d, const vxif_param_item_t *items, int cnt) {
        note("dev_param_set", d, {u(static_cast<uint32_t>(cnt))}, items);
        return g_result;
    },
    .dev_param_get = [](kavro_ll_dev_t *d, vxif_param_item_t *items, int cnt) {
        note("dev_param_get", d, {u(static_cast<uint32_t>(cnt))}, items);
        return g_result;
    },
};

const kavro_ll_op kEmpty = {};  // a transport that offers nothing

void notify_dummy(kavro_ll_dev_t *, int, void *, int, void *) {}

// ---- every dispatch call, as a case ------------------------------------------------

uint8_t g_buf[8];
uint32_t g_regs[4];
vxif_param_item_t g_items[3];
int g_cb_arg;

struct DispatchCase {
    const char *op;                  // the table slot it must reach
    std::vector<uint64_t> args;      // what the slot must receive
    const void *ptr;                 // the buffer the slot must receive
    int (*call)(kavro_ll_dev_t *d);  // the exported call; bool results as 0/1
};

const std::vector<DispatchCase> &dispatch_cases() {
    static const std::vector<DispatchCase> cases = {
        {"dev_reset", {3}, nullptr, [](kavro_ll_dev_t *d) { return int{kavro_ll_dev_reset(d, 3)}; }},
        {"exe_cmd", {1, 0xA5, 0xBEEF, 8, 777}, g_buf,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_exe_cmd(d, true, 0xA5, 0xBEEF, g_buf, 8, 777)}; }},
        {"exe_cmd", {0, 7, 1, 4, 5}, g_buf,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_exe_cmd(d, false, 7, 1, g_buf, 4, 5)}; }},
        {"tx_data", {4096}, g_buf, [](kavro_ll_dev_t *d) { return kavro_ll_tx_data(d, g_buf, 4096); }},
        {"cap_start", {30}, nullptr,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_cap_start(d, 30, notify_dummy, &g_cb_arg)}; }},
        {"cap_stop", {}, nullptr, [](kavro_ll_dev_t *d) { return int{kavro_ll_cap_stop(d)}; }},
        {"dev_reg_write", {8, 0x1234, 4}, g_regs,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_reg_write(d, 8, 0x1234, g_regs, 4)}; }},
        {"dev_reg_read", {1, 0x20, 2}, g_regs,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_reg_read(d, 1, 0x20, g_regs, 2)}; }},
        {"dev_param_set", {3}, g_items,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_param_set(d, g_items, 3)}; }},
        {"dev_param_get", {2}, g_items,
         [](kavro_ll_dev_t *d) { return int{kavro_ll_param_get(d, g_items, 2)}; }},
        {"dev_close", {}, nullptr, [](kavro_ll_dev_t *d) {
             kavro_ll_dev_close(d);
             return 0;
         }},
        {"cap_abort", {}, nullptr, [](kavro_ll_dev_t *d) {
             kavro_ll_cap_abort(d);
             return 0;
         }},
    };
    return cases;
}

class LlDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = {};
        g_result = true;
        g_tx_result = 0;
    }
    CapturedLog log_;
};

TEST_F(LlDispatchTest, EveryCallForwardsItsArgumentsAndResult) {
    kavro_ll_dev_t dev{};
    dev.ll_op = &kRecording;
    for (const DispatchCase &c : dispatch_cases()) {
        for (bool result : {true, false}) {
            SCOPED_TRACE(std::string(c.op) + (result ? " true" : " false"));
            g_seen = {};
            g_result = result;
            g_tx_result = result ? 4096 : -5;
            const int got = c.call(&dev);
            EXPECT_EQ(g_seen.op, c.op);
            EXPECT_EQ(g_seen.dev, &dev);
            EXPECT_EQ(g_seen.args, c.args);
            EXPECT_EQ(g_seen.ptr, c.ptr);
            if (g_seen.op == "tx_data") {
                EXPECT_EQ(got, g_tx_result);
            } else if (g_seen.op != "dev_close" && g_seen.op != "cap_abort") {
                EXPECT_EQ(got, int{result});
            }
        }
    }
    kavro_ll_cap_start(&dev, 1, notify_dummy, &g_cb_arg);
    EXPECT_EQ(g_seen.cb, &notify_dummy);
    EXPECT_EQ(g_seen.cb_arg, &g_cb_arg);
}

TEST_F(LlDispatchTest, MissingRecordTableOrSlotDoesNothingAndReturnsFalse) {
    kavro_ll_dev_t no_table{};
    kavro_ll_dev_t empty_table{};
    empty_table.ll_op = &kEmpty;
    for (kavro_ll_dev_t *dev : {static_cast<kavro_ll_dev_t *>(nullptr), &no_table, &empty_table}) {
        for (const DispatchCase &c : dispatch_cases()) {
            SCOPED_TRACE(c.op);
            g_seen = {};
            g_result = true;
            g_tx_result = 99;
            EXPECT_EQ(c.call(dev), 0);
            EXPECT_EQ(g_seen.op, "");  // the recording transport was never reached
        }
        EXPECT_EQ(kavro_ll_dev_open(nullptr), nullptr);
        EXPECT_EQ(kavro_ll_dev_open_by_fd(nullptr, 3), nullptr);
    }
    EXPECT_EQ(kavro_ll_dev_open(&empty_table), nullptr);  // its table has no open
    EXPECT_EQ(log_.text(), "");                          // nothing is logged for these
}

// ---- list rules ------------------------------------------------------------------------

// Two transports that each "find" a fixed number of devices and stamp them.
int g_first_found = 0, g_second_found = 0;
int g_first_calls = 0, g_second_calls = 0;

int list_stamped(kavro_ll_dev_t *list, int num, int found, const kavro_ll_op *self, uint8_t mark) {
    const int n = found < num ? found : num;
    for (int i = 0; i < n; ++i) {
        list[i] = kavro_ll_dev_t{};
        list[i].ll_op = self;
        list[i].init_flag = true;
        list[i].ll_info.info.usb.usb_bus_num = mark;
        list[i].ll_info.info.usb.usb_port_num = static_cast<uint8_t>(i);
    }
    return n;
}

extern const kavro_ll_op kFirst, kSecond;
bool g_first_init = true, g_second_init = true;
int g_first_open_calls = 0, g_second_open_calls = 0;

/// A table offering only init, open and list; the other slots stay empty.
kavro_ll_op three_slots(bool (*init)(), kavro_ll_dev_t *(*open)(kavro_ll_dev_t *),
                        int (*list)(kavro_ll_dev_t *, int)) {
    kavro_ll_op op{};
    op.init = init;
    op.dev_open = open;
    op.dev_list = list;
    return op;
}

const kavro_ll_op kFirst = three_slots(
    [] { return g_first_init; },
    [](kavro_ll_dev_t *d) -> kavro_ll_dev_t * {
        ++g_first_open_calls;
        if (d->ll_info.type != LL_IF_USB) return nullptr;
        d->ll_op = &kFirst;
        return d;
    },
    [](kavro_ll_dev_t *l, int n) {
        ++g_first_calls;
        return list_stamped(l, n, g_first_found, &kFirst, 1);
    });
const kavro_ll_op kSecond = three_slots(
    [] { return g_second_init; },
    [](kavro_ll_dev_t *d) -> kavro_ll_dev_t * {
        ++g_second_open_calls;
        if (d->ll_info.type != LL_IF_FILE) return nullptr;
        d->ll_op = &kSecond;
        return d;
    },
    [](kavro_ll_dev_t *l, int n) {
        ++g_second_calls;
        return list_stamped(l, n, g_second_found, &kSecond, 2);
    });
const kavro_ll_op *const kTwo[] = {&kFirst, &kSecond};

TEST_F(LlDispatchTest, ListingFillsFirstTransportThenTheRemainingSlots) {
    struct ListCase {
        int first_found, second_found, num;
        int want_total, want_first, want_second;
        bool second_asked;
    };
    const ListCase cases[] = {
        {1, 5, 4, 4, 1, 3, true},   // second lists right after the first's entries
        {3, 5, 2, 2, 2, 0, false},  // first filled everything: second not asked
        {0, 0, 4, 0, 0, 0, true},
        {2, 1, 0, 0, 0, 0, false},  // nothing asked for
        {2, 1, -1, 0, 0, 0, false},
    };
    for (const ListCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.first_found << "/" << c.second_found << "/" << c.num);
        g_first_found = c.first_found;
        g_second_found = c.second_found;
        g_first_calls = g_second_calls = 0;
        kavro_ll_dev_t list[6];
        memset(list, 0xEE, sizeof list);
        const int total = _kavro_ll_dev_list(kTwo, 2, list, c.num);
        EXPECT_EQ(total, c.want_total);
        EXPECT_EQ(g_second_calls > 0, c.second_asked);
        EXPECT_EQ(g_first_calls, c.num > 0 ? 1 : 0);
        for (int i = 0; i < total; ++i) {
            const bool from_first = i < c.want_first;
            EXPECT_EQ(list[i].ll_op, from_first ? &kFirst : &kSecond) << i;
            EXPECT_EQ(list[i].ll_info.info.usb.usb_port_num, from_first ? i : i - c.want_first) << i;
        }
        // Slots past the total stay as they were.
        const unsigned char *tail = reinterpret_cast<const unsigned char *>(list + total);
        for (size_t b = 0; b < sizeof(kavro_ll_dev_t) * static_cast<size_t>(6 - total); ++b)
            ASSERT_EQ(tail[b], 0xEE) << "byte " << b;
    }
}

TEST_F(LlDispatchTest, OpenGoesToTheRecordsTableOrTriesTransportsInOrder) {
    auto open_count_reset = [] { g_first_open_calls = g_second_open_calls = 0; };

    kavro_ll_dev_t usb{};
    usb.ll_info.type = LL_IF_USB;
    open_count_reset();
    EXPECT_EQ(_kavro_ll_dev_open(kTwo, 2, &usb), &usb);
    EXPECT_EQ(usb.ll_op, &kFirst);
    EXPECT_EQ(g_second_open_calls, 0);

    kavro_ll_dev_t file{};
    file.ll_info.type = LL_IF_FILE;
    open_count_reset();
    EXPECT_EQ(_kavro_ll_dev_open(kTwo, 2, &file), &file);
    EXPECT_EQ(file.ll_op, &kSecond);
    EXPECT_EQ(g_first_open_calls, 1);  // tried first, refused

    // A record that knows its table goes there only, even if it would refuse.
    kavro_ll_dev_t bound{};
    bound.ll_info.type = LL_IF_FILE;
    bound.ll_op = &kFirst;
    open_count_reset();
    EXPECT_EQ(_kavro_ll_dev_open(kTwo, 2, &bound), nullptr);
    EXPECT_EQ(g_first_open_calls, 1);
    EXPECT_EQ(g_second_open_calls, 0);

    kavro_ll_dev_t eth{};
    eth.ll_info.type = LL_IF_ETH;
    open_count_reset();
    EXPECT_EQ(_kavro_ll_dev_open(kTwo, 2, &eth), nullptr);
    EXPECT_EQ(g_first_open_calls + g_second_open_calls, 2);
    EXPECT_EQ(eth.ll_op, nullptr);
    EXPECT_EQ(_kavro_ll_dev_open(kTwo, 2, nullptr), nullptr);

    // The built list: USB first, then file; neither serves the network kind.
    ASSERT_EQ(LL_IMP_COUNT, 2);
    EXPECT_EQ(g_ll_imps[0], &ll_op_usb);
    EXPECT_EQ(g_ll_imps[1], &ll_op_fil);
    kavro_ll_dev_t real_eth{};
    real_eth.ll_info.type = LL_IF_ETH;
    EXPECT_EQ(kavro_ll_dev_open(&real_eth), nullptr);
}

TEST_F(LlDispatchTest, InitStopsAtTheFirstFailingTransportAndNamesIt) {
    struct InitCase {
        bool first, second;
        int want;
    };
    const InitCase cases[] = {{true, false, 1}, {false, true, 0}, {false, false, 0}, {true, true, -1}};
    for (const InitCase &c : cases) {
        g_first_init = c.first;
        g_second_init = c.second;
        EXPECT_EQ(_kavro_ll_init(kTwo, 2), c.want);
    }
    // Empty init slots count as done; the built transports initialise.
    const kavro_ll_op *const with_empty[] = {&kEmpty, &kFirst};
    EXPECT_EQ(_kavro_ll_init(with_empty, 2), -1);
    EXPECT_TRUE(kavro_ll_init());
    kavro_ll_dev_t list[2];
    EXPECT_EQ(kavro_ll_dev_list(list, 2), 0);  // no camera; a recording is never listed
    kavro_ll_set_debug(3);
    kavro_ll_uninit();
}

}  // namespace
