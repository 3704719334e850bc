/* Carriers: the cards in the eight chassis slots, this card's slot and
 * role, discovery over XSB, virtual addresses, configuration writes and the
 * download of carrier images.
 *
 * Slots have two numbers: the hardware slot 0-7 (XSB addresses, chassis.conf
 * lines, VMWR frames, carrier_node.slot) and the user slot 1-8 (users,
 * profiles, alarms, kd_carrier_get_node). The card in hardware slot 3 is the
 * chassis master.
 *
 * The registry is filled once by kd_carrier_init (called by kd_frame_init)
 * and read-only afterwards except for the per-card plug-in hooks (ops,
 * plugin_ctx). Node pointers stay valid until kd_carrier_fini. Everything
 * here is for the loop thread.
 *
 * Binding: factories are registered by plug-ins from their init entries,
 * which run after discovery. kd_frame_run calls kd_carrier_bind_carriers and
 * then kd_carrier_all_binds_complete the first time it runs after
 * kd_frame_init, right before it emits "frame run", so every plug-in loaded
 * by then has its cards bound. A plug-in loaded later (while the loop runs)
 * gets no automatic pass; it may call kd_carrier_bind_carriers itself. */
#ifndef KERROW_CARRIER_H
#define KERROW_CARRIER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <kerrow/types.h>
#include <interlink.h> /* portid; libsolverasdk links libinterlink */

KD_BEGIN_DECLS

enum {
    DEFAULT_MASTER_SLOT = 3, /* hardware slot of the chassis master */
    DEFAULT_MASTER_UI = 8,   /* its user slot */
    BRIDGE_PORT_INDEX = 1,
    XFRAME_PORT_INDEX = 0
};

/* Hardware slot -> user slot; user slot (1-8, index 0 unused) -> hardware
 * slot. The two tables indexed from 0 (hw_enum_to_slot_num and
 * slot_num_to_hw_enum) come from libinterlink. */
KD_API extern const int hw_to_ui_slot[8];
KD_API extern const int ui_to_hw_slot[9];

/* Port kinds of INFO records: libinterlink's portid (PORTID_*). */
typedef portid carrier_portid;

typedef struct carrier_port {
    uint8_t index;        /* port number 0-15 */
    carrier_portid type;  /* PORTID_* */
    uint16_t data;        /* low 16 bits of the INFO record; TS ports hold 3 */
} carrier_port;

/* The card's BLVDS audio lanes. */
typedef struct dcm_info {
    uint8_t count;       /* lanes */
    uint8_t is_tx;       /* 1 transmitter, 0 receiver */
    uint8_t index;       /* first lane index on the card */
    uint8_t page;
    uint8_t wired_count; /* lanes already wired */
    uint8_t tx_offset;   /* sum of the counts of the transmitters before it */
} dcm_info;

typedef struct carrier_node carrier_node;

/* Filled in place by the plug-in that binds the card. */
typedef struct carrier_ops {
    void (*all_binds_complete)(carrier_node *node);
    void (*release_manager)(carrier_node *node);
    void (*on_msg_in)(carrier_node *node, const char *xsb_mii_addr, const uint8_t *msg, size_t len);
} carrier_ops;

struct carrier_node {
    uint32_t slot;           /* hardware slot */
    char name[64];           /* model text from the INFO CARRIER record */
    char base_name[64];      /* name cut at its last "-" */
    char data_path[64];      /* holds extended.info and the images */
    uint8_t unused;          /* takes no part in this chassis */
    carrier_port *ports;     /* in record order */
    unsigned port_count;
    carrier_ops ops;
    char xsb_mii_addr[4];    /* RMII port address text, "" when none */
    dcm_info dcm;
    uint8_t is_fpga_programmed;
    uint8_t requires_self_programming;
    uint8_t requires_reboot_after_programming;
    uint8_t requires_wiring;
    uint8_t is_fpga_xylinx;
    char fpga_img_name[64];
    uint32_t target_function; /* from chassis.conf, 0 when none */
    char function_label[64];  /* from extended.info, "" when none */
    void *plugin_ctx;         /* owned by the binding plug-in */
};

typedef void (*kd_carrier_bind_manager)(carrier_node *node);

typedef struct cmfactory_node {
    char node_name[64];   /* carrier type name to match */
    char plugin_name[64]; /* registering plug-in */
    kd_carrier_bind_manager bind_fn;
} cmfactory_node;

typedef struct carrier_port_addr {
    uint16_t vmap_addr;
    char vmap_addr_str[4];
    uint8_t ip_field[4];
    uint8_t mac_field[6];
} carrier_port_addr;

/* One wired BLVDS lane. */
typedef struct blvds_connection {
    unsigned lane;  /* chassis-wide lane number from 0 */
    carrier_node *node_tx;
    carrier_node *node_rx;
    unsigned dcm_tx_index;
    unsigned dcm_tx_page;
    unsigned dcm_rx_index;
    unsigned dcm_rx_index_is_dense; /* the lane feeds two receiver indices */
    unsigned dcm_rx_page;
} blvds_connection;

enum fpga_type { FPGA_TYPE_LATTICE = 0, FPGA_TYPE_XILINX = 1 };

/* ---- lifecycle (kd_frame_init / kd_frame_fini) ---- */
KD_API void kd_carrier_init(void);
KD_API void kd_carrier_fini(void);
KD_API void kd_carrier_release_all(void);

/* ---- identity and lookups ---- */
KD_API bool kd_carrier_frame_is_master(void);
KD_API carrier_node *kd_carrier_get_self(void);
KD_API carrier_node *kd_carrier_get_node(unsigned ui_slot);
KD_API unsigned kd_carrier_get_slot(const carrier_node *node);
KD_API unsigned kd_carrier_get_HW_slot(const carrier_node *node);
KD_API const char *kd_carrier_get_slot_name(const carrier_node *node);
KD_API const char *kd_carrier_get_name(const carrier_node *node);
KD_API int kd_carrier_is_lower_row(const carrier_node *node);
KD_API bool kd_carrier_is_compatible(const carrier_node *node, const char *type_name);
KD_API uint32_t kd_carrier_get_function(const carrier_node *node);
KD_API int kd_carrier_get_function_label(const carrier_node *node, char *buf, size_t size);
KD_API carrier_ops *kd_carrier_get_carrier_ops(carrier_node *node);
KD_API void *kd_carrier_get_carrier_context(carrier_node *node);
KD_API int kd_carrier_set_carrier_context(carrier_node *node, void *ctx);
KD_API int kd_carrier_get_port_index(const carrier_node *node, unsigned position, carrier_portid type);
KD_API int kd_carrier_get_port_data(const carrier_node *node, uint16_t *data, unsigned port_index);
KD_API int kd_carrier_get_address(const carrier_node *node, carrier_port_addr *addr, unsigned port_index);
KD_API int kd_carrier_get_transmitter_offset(const carrier_node *node, unsigned *offset, unsigned *count);
KD_API carrier_node *kd_carrier_get_wired_receiver(const carrier_node *tx, unsigned tx_index,
                                                   unsigned *rx_index, unsigned *count);

/* ---- plug-in binding ---- */
KD_API int kd_carrier_register_factory(const char *type_name, plugin_load_info *owner,
                                       kd_carrier_bind_manager bind_fn);
KD_API void kd_carrier_unregister_factory_by_owner(plugin_load_info *owner);
KD_API void kd_carrier_bind_carriers(void);
KD_API void kd_carrier_all_binds_complete(void);

/* ---- messages ---- */
KD_API int kd_carrier_send_mii_msg(carrier_node *node, const uint8_t *msg, size_t len);
KD_API int kd_carrier_request_info(carrier_node *node);

/* ---- chassis configuration ----
 * func_nums: eight function numbers indexed by user slot minus one. Writes
 * chassis.conf, flags program-on-boot and requests a reboot. */
KD_API int kd_carrier_update_function_targets(const uint32_t *func_nums);

/* ---- virtual addresses and configuration writes ---- */
KD_API uint16_t kd_carrier_allocate_vmap_addr(const carrier_node *node);
KD_API int kd_carrier_set_vmap_addr(const carrier_node *node, uint16_t vaddr, unsigned port_index);
KD_API int kd_carrier_clear_vmap_addr(const carrier_node *node, uint16_t vaddr);
KD_API void kd_carrier_vmap_to_mac_addr(uint8_t mac[6], uint16_t vaddr);
/* records: 32-bit words written big-endian by the caller; len a multiple of
 * 4, at most 1492 (the tag and the end word fill the rest of a 1514-byte
 * frame). */
KD_API int kd_carrier_send_cfwr(const carrier_node *node, const void *records, size_t len);

/* ---- image programming ---- */
KD_API int kd_carrier_pgm_fpga_set_target(const char *path, const char *fpga_file, unsigned slot,
                                          unsigned fpga_vaddr, unsigned is_xylinx);
KD_API int kd_carrier_pgm_fpga(void);

/* ---- the unit identifier: two 32-bit words of the SoC ---- */
KD_API int hw_get_uid(unsigned char *buf, size_t len);

KD_END_DECLS

#endif
