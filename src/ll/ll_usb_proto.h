// Wire protocol of the camera's USB interface: identifiers, endpoints,
// control request codes, the command records exchanged on endpoint 0, the
// data/firmware transfer records, and the time-outs and sizes both sides
// rely on. The USB transport, the calibration loader and the data transfer
// module speak this protocol; the camera simulator answers it. Nothing here
// depends on the USB library.
//
// All records are packed and little-endian; the structs match the wire
// layout on little-endian hosts.
#pragma once

#include <cstdint>

// ---- device identity ---------------------------------------------------------

/// USB vendor and product id of the camera. Listing and opening match both.
constexpr uint16_t KAVRO_USB_VID = 0x4B56;
constexpr uint16_t KAVRO_USB_PID = 0x0E02;

/// USB speed numbering of the USB library: 3 = high speed.
constexpr int KAVRO_USB_SPEED_HIGH = 3;

// ---- endpoints and bulk streaming ------------------------------------------

constexpr uint8_t VXIF_EP_CTRL = 0x00;      // default control endpoint
constexpr uint8_t VXIF_EP_BULK_IN = 0x81;   // camera byte stream
constexpr uint8_t VXIF_EP_BULK_OUT = 0x01;  // image packets of the data transfer

constexpr int VXIF_CAP_TRANS_CNT = 16;          // bulk IN transfers kept queued
constexpr int VXIF_CAP_TRANS_SIZE = 153600;     // bytes of each of them
constexpr uint32_t VXIF_BULK_TIMEOUT_MS = 6000; // bulk IN and OUT transfer time-out
constexpr uint32_t VXIF_DRAIN_TIMEOUT_MS = 20;   // a quiet bulk IN endpoint at capture start
constexpr int VXIF_DRAIN_MAX_READS = 64;         // reads of stale bytes at capture start, at most
constexpr int VXIF_RING_IDLE_MS = 500;           // wait for ring transfers to come back

// ---- control requests (setup stage) ----------------------------------------

/// bmRequestType of a command: class request, endpoint recipient.
constexpr uint8_t VXIF_SETUP_OUT = 0x22;  // host to device
constexpr uint8_t VXIF_SETUP_IN = 0xA2;   // device to host
constexpr int VXIF_SETUP_SIZE = 8;

/// Request codes (bRequest): the command group.
constexpr uint8_t VXIF_REQ_DEV = 0xC0;
constexpr uint8_t VXIF_REQ_CTRL = 0xC2;
constexpr uint8_t VXIF_REQ_DATA = 0xCC;
constexpr uint8_t VXIF_REQ_STATUS = 0xB0;

/// Command values (wValue) of VXIF_REQ_DEV.
constexpr uint16_t VXIF_DEV_RESET = 0;      // data: reset target, u32
constexpr uint16_t VXIF_DEV_PARAM_SET = 3;  // data: item_cnt x vxif_param_item_t
constexpr uint16_t VXIF_DEV_PARAM_GET = 4;  // out: items with ids; in: the items filled

/// Command values of VXIF_REQ_CTRL.
constexpr uint16_t VXIF_CTRL_REG_WRITE = 0;  // vxif_reg_rw_t with values
constexpr uint16_t VXIF_CTRL_REG_READ = 1;   // out: vxif_reg_rw_t; in: values
constexpr uint16_t VXIF_CTRL_CAP_START = 4;  // vxif_frame_cnt_t
constexpr uint16_t VXIF_CTRL_CAP_STOP = 5;   // one byte, VXIF_CAP_STOP_BYTE
constexpr uint8_t VXIF_CAP_STOP_BYTE = 0xC2;

/// Command value of VXIF_REQ_STATUS.
constexpr uint16_t VXIF_STATUS_LAST_CMD = 0;

// ---- command records ---------------------------------------------------------

/// cmd_status values that are not success.
constexpr int8_t VXIF_CMD_FAILED = -1;   // text in msg
constexpr int8_t VXIF_CMD_RUNNING = -2;  // ask again

constexpr int VXIF_CMD_MSG_LEN = 60;
constexpr int VXIF_PARAM_ITEM_SIZE = 20;  // vxif_param_item_t on the wire
constexpr int VXIF_PARAM_VAL_SIZE = 18;

#pragma pack(push, 1)

/// Answer to the status request: how the last command ended.
struct vxif_cmd_status_t {
    int8_t cmd_status;    // -1 failed, -2 still running, anything else success
    uint8_t cmd_req_type; // request code of the last command received
    uint8_t cmd_req_val;  // low byte of its value
    char msg[VXIF_CMD_MSG_LEN];  // NUL-terminated, meaningful when failed
};

/// Register access: 7 bytes, followed by the values of a write.
struct vxif_reg_rw_t {
    uint8_t target;     // register target (kavro_dev_reg_e)
    uint32_t baseaddr;  // index of the first register
    uint16_t val_cnt;   // value bytes: register count x 4
};

/// Capture start: frames to send, 0 = until stopped.
struct vxif_frame_cnt_t {
    uint32_t cnt;
};

#pragma pack(pop)

static_assert(sizeof(vxif_cmd_status_t) == 63, "status record is 63 bytes");
static_assert(sizeof(vxif_reg_rw_t) == 7, "register record header is 7 bytes");
static_assert(sizeof(vxif_frame_cnt_t) == 4, "frame count is 4 bytes");

/// Registers per read exchange, and parameter items per get exchange, that
/// the host asks for at most.
constexpr int VXIF_REG_READ_CHUNK = 16;
constexpr int VXIF_PARAM_GET_CHUNK = 3;

// ---- command channel time limits (host side) -------------------------------

constexpr uint32_t VXIF_CMD_TIMEOUT_MS = 1000;      // time-out passed with a command
constexpr uint32_t VXIF_CTRL_CANCEL_MS = 1000;      // unanswered control transfer: cancel
constexpr uint32_t VXIF_CTRL_ABANDON_MS = 2000;     // ... and give up
constexpr uint32_t VXIF_CTRL_POLL_MS = 10;          // look at the completion flag this often
constexpr int VXIF_USB_REOPEN_TRIES = 15;           // after a USB-interface reset
constexpr uint32_t VXIF_USB_REOPEN_WAIT_MS = 200;   // sleep before each reopen try
constexpr uint32_t VXIF_USB_RESET_TIMEOUT_MS = 3000;

// ---- device modes and calibration package ----------------------------------

/// Values of PARAM_DEV_MODE.
enum vxif_dev_mode_e : uint32_t {
    DEV_MODE_NORMAL = 0,
    DEV_MODE_DFU = 1,
    DEV_MODE_TEST = 8,
    DEV_MODE_DATA_UP = 9,
};

#pragma pack(push, 1)
/// Calibration package information: the value of PARAM_INFO_CALIB and the
/// first 18 bytes of the package itself.
struct vxif_calib_info_t {
    uint8_t valid;       // 1 = the device holds a package
    uint8_t flag;        // 1 = the payload is a zip archive, else the parameter file
    uint32_t ID;         // package id
    uint32_t timestamp;  // calibration timestamp, 0 = none
    uint32_t fsize;      // whole package, header included
    uint32_t datasize;   // payload after the 18-byte header
};
#pragma pack(pop)
static_assert(sizeof(vxif_calib_info_t) == 18, "calibration package header is 18 bytes");

/// In data-upload mode the package travels as fsize / 153600 frames of this
/// size, numbered from 0, with this frame format.
constexpr uint32_t VXIF_CALIB_FRAME_SIZE = 153600;
constexpr uint16_t VXIF_CALIB_FRAME_FORMAT = 171;
constexpr uint32_t VXIF_CALIB_MAX_FSIZE = 0xA00000;
constexpr uint16_t VXIF_CALIB_MIN_SW_VER = 133;  // firmware that can send the package

// ---- data and firmware transfer (request VXIF_REQ_DATA) ---------------------

/// Actions: the command value of VXIF_REQ_DATA.
constexpr uint16_t DATA_ACTION_GET_INFO = 0;   // send + read back data_ginfo_t
constexpr uint16_t DATA_ACTION_INFO = 1;       // send data_action_info_t
constexpr uint16_t DATA_ACTION_ACK = 4;        // send + read back data_action_pack_t
constexpr uint16_t DATA_ACTION_CFM = 7;        // send data_action_cfm_t; device erases
constexpr uint16_t DATA_ACTION_PAYLOAD = 17;   // send request, read back a piece

constexpr uint32_t DATA_TIMEOUT_GET_INFO_MS = 1000;
constexpr uint32_t DATA_TIMEOUT_INFO_MS = 10000;
constexpr uint32_t DATA_TIMEOUT_ACK_MS = 50000;
constexpr uint32_t DATA_TIMEOUT_CFM_MS = 20000;
constexpr uint32_t DATA_TIMEOUT_PAYLOAD_MS = 1000;

constexpr uint32_t DATA_PACKET_PAYLOAD = 65530;  // payload bytes of one bulk packet
constexpr uint32_t DATA_READ_PIECE = 450;        // bytes per payload request
constexpr uint32_t DATA_SIZE_NONE = 0xFFFFFFFFu; // data_ginfo_t.size: no such image

/// status of data_action_pack_t.
enum data_trans_status_e : uint8_t {
    TRANS_STATUS_FAIL = 0,
    TRANS_STATUS_OK = 1,
    TRANS_STATUS_FIN = 2,
    TRANS_STATUS_REQ = 3,
    TRANS_STATUS_EARSE_ONGOING = 4,
    TRANS_STATUS_NONE = 5,
};

#pragma pack(push, 1)
/// Information about the stored image of one type.
struct data_ginfo_t {
    uint8_t type;      // image type (filled by the host)
    uint8_t ptype;
    uint16_t version;
    uint32_t size;     // DATA_SIZE_NONE: the device holds no such image
    uint32_t addr;     // flash address
    uint32_t hash32;
};

/// Announcement of an image to be written.
struct data_action_info_t {
    uint8_t type;
    uint8_t ptype;
    uint16_t version;
    uint32_t size;
    uint32_t addr;
};

/// Acknowledgement of the device.
struct data_action_pack_t {
    uint32_t next_number;  // packet the device expects next
    uint8_t status;        // data_trans_status_e
    uint32_t reserved1;
    uint32_t reserved2;
};

/// Confirmation of the transfer parameters; the device then erases.
struct data_action_cfm_t {
    uint8_t type;
    uint32_t data_len;   // image size
    uint32_t frame_len;  // packet payload size, DATA_PACKET_PAYLOAD
    uint32_t reserved;
};

/// Header of one packet on the bulk OUT endpoint; `len` payload bytes follow.
struct data_action_data_t {
    uint16_t crc;  // CRC-16/XMODEM of the payload
    uint32_t len;
};

/// Payload request: `len` bytes of the image named by the last
/// DATA_ACTION_GET_INFO, from where the previous request ended. The host
/// sends it as the first 12 bytes of an exchange of `len` bytes (at least
/// 12), whose read phase brings the piece back.
struct data_payload_req_t {
    uint32_t reserved0;
    uint32_t len;
    uint32_t reserved1;
};
#pragma pack(pop)

static_assert(sizeof(data_ginfo_t) == 16, "data_ginfo_t is 16 bytes");
static_assert(sizeof(data_action_info_t) == 12, "data_action_info_t is 12 bytes");
static_assert(sizeof(data_action_pack_t) == 13, "data_action_pack_t is 13 bytes");
static_assert(sizeof(data_action_cfm_t) == 13, "data_action_cfm_t is 13 bytes");
static_assert(sizeof(data_action_data_t) == 6, "packet header is 6 bytes");
static_assert(sizeof(data_payload_req_t) == 12, "payload request is 12 bytes");

/// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
inline uint16_t vxif_crc16_xmodem(const uint8_t *p, uint32_t n)
{
    uint16_t crc = 0;
    for (uint32_t i = 0; i < n; ++i) {
        crc = (uint16_t)(crc ^ ((uint16_t)p[i] << 8));
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}
