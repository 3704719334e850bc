// libcodecctl internals: the context's layout and the driver layer. Only
// this layer knows request codes and chip addresses.
#pragma once

#include "m30.h"
#include "m30_driver.h"

#include <cstddef>
#include <cstdint>

// The codec chip's context. Fields keep their documented order; the channel
// configuration, state flags, threads and callback slots follow `version`.
struct m30_context {
    bool is_encode;          /* ro after creation */
    char driver_path[30];    /* "/dev/m30smb%d", resolved under KD_ROOT when opened */
    int driver_system;       /* bound to FMB_DEVICE_SYSTEM */
    int driver_control;      /* bound to FMB_DEVICE_CONTROL; reopened by a reset */
    int vei_control[4];      /* bound to the video encode inputs 0 to 3 */
    m30_version version;     /* ro after creation */
};

// Driver port access: every descriptor on the driver goes through these.
int m30_drv_open(const char *driver_path) noexcept; // resolved under KD_ROOT, O_RDWR
int m30_drv_close(int fd) noexcept;                  // ignores a negative fd
int m30_drv_ioctl(int fd, unsigned long request, void *arg) noexcept;
int m30_drv_eventfd(unsigned int initval, int flags) noexcept;
// Opens the node and binds it to a logical device; -1 (nothing left open) on failure.
int m30_drv_open_bound(const char *driver_path, uint16_t device_type) noexcept;

// Registers. A failed read prints to standard error and reads 0.
uint32_t greg(int fmb_fd, uint32_t offset) noexcept;
int sregp(int fmb_fd, uint32_t offset, const uint32_t *val) noexcept;
int sreg(int fmb_fd, uint32_t offset, uint32_t val) noexcept;

// Writes the words of an image after its counter word (word 0) at base_addr_
// onward; an image of one word or less writes nothing.
int write_param_block(int fd_, uint32_t base_addr_, const uint8_t *start_, const uint8_t *end_) noexcept;
// Writes the next counter and waits for the chip to echo it: at most
// M30_CC_HANDSHAKE_READS reads, then ETIMEDOUT.
constexpr int M30_CC_HANDSHAKE_READS = 1001;
int cc_handshake(int fd_, uint32_t addr_, uint32_t cc_next_) noexcept;
// Replaces "/tmp/kerrow_<name_>param_<id_>.bin" (under KD_ROOT) with the
// image; a file that cannot be written is skipped. Always 0.
int debug_write_bin(const char *name_, int id_, const uint8_t *buf_, size_t len_) noexcept;

// A block load: refuse without a control descriptor or with a negative
// chip id; read the old counter, dump the image, write it, hand the counter
// over. Exactly `len` bytes of the image are transferred.
int m30_load_param_block(m30_context *m30, int chip_id, uint32_t base, const char *tag, int dump_index,
                         const uint8_t *image, size_t len) noexcept;
// The common block at the base of the parameter area, dump tag "c".
int m30_load_params_c(m30_context *m30_, const uint8_t *buf_, size_t len_) noexcept;

// Reads the driver and firmware versions into m30->version.
int m30_read_versions(m30_context *m30) noexcept;

// Input and output switching of a chip id; a state already reached sends
// nothing. -1 without a control descriptor or for a negative id.
m30_input_state m30_get_input_state(const m30_context *m30, int chip_id) noexcept;
m30_output_state m30_get_output_state(const m30_context *m30, int chip_id) noexcept;
int m30_input_start(m30_context *m30, int chip_id) noexcept;
int m30_input_stop(m30_context *m30, int chip_id) noexcept;
int m30_output_start(m30_context *m30, int chip_id) noexcept;
int m30_output_ready_to_stop(m30_context *m30, int chip_id) noexcept;
int m30_output_stop(m30_context *m30, int chip_id) noexcept;

// Message notification of one unit: the driver signals `event_fd` per
// message; `bits` of the unit's message-enable register switch its
// messages. Enabling registers first, then sets the bits; disabling
// unregisters first, then clears them.
int m30_msg_notify_enable(m30_context *m30, int event_fd, fmb_message_target target, uint32_t target_id,
                          uint32_t enable_reg, uint32_t bits) noexcept;
int m30_msg_notify_disable(m30_context *m30, fmb_message_target target, uint32_t target_id,
                           uint32_t enable_reg, uint32_t bits) noexcept;
// Read, OR (on) or AND NOT (off), write.
int m30_msg_enable_bits(int fd, uint32_t enable_reg, uint32_t bits, bool on) noexcept;

// Message-enable bits of each unit.
constexpr uint32_t M30_DMX_MSG_BITS = 0xF;
constexpr uint32_t M30_VD_MSG_BITS = 0x7;
constexpr uint32_t M30_AD_MSG_BITS = 0x3;
