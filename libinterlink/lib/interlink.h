/* libinterlink: raw-Ethernet packet I/O to the FPGA carriers of the chassis
 * (XSB), decoding of their INFO records and the IFP flash-access protocol.
 *
 * The library has no threads, no event loop and no journal. It writes
 * messages only while xsb_print_logs() has switched them on; callers put
 * xsb_fileno() into their own event loops. */
#ifndef INTERLINK_H
#define INTERLINK_H

#include <stdint.h>

#define XSB_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#define XSB_NOEXCEPT noexcept
#else
#define XSB_NOEXCEPT
#endif

/* ---------------------------------------------------------------------
 * Packet I/O and addressing
 * ------------------------------------------------------------------- */

#define XSB_ETH_P_CONFIG 0x88B4 /* INRQ/INFO, CFWR, VMAP, image programming, IFP */
#define XSB_ETH_P_CMD 0x88B5    /* PING/OKAY and commands */
#define XSB_ETH_P_MII 0xADEE    /* MII messages */
#define XSB_ETH_P_RAW 0x88B7    /* raw payload */

#define XSB_HDR_LEN 14
#define XSB_DATA_LEN 1500
#define XSB_PKT_LEN 1514

/* One open raw socket (xsb_open / xsb_close). */
typedef struct xsb_sock {
    int fd;                    /* negative when opening failed */
    int ifindex;               /* -1 when the interface lookup failed */
    unsigned char ifhwaddr[6]; /* the interface's own MAC */
    const char *ethdev;        /* the caller's text, not a copy: it must outlive the socket */
    int proto;                 /* ethertype, host order */
} xsb_sock;

/* One Ethernet frame; the MACs carry XSB addresses 00:90:1F:00:0H:LL. */
typedef struct xsb_pkt {
    unsigned char dst[6];
    unsigned char src[6];
    unsigned char proto[2]; /* big-endian */
    unsigned char data[XSB_DATA_LEN];
} xsb_pkt;

/* Logging switch, 0 at load; set once at start. */
XSB_API extern int xsb_print;

/* Hardware slot 0-7 -> slot label 1-8, and slot label minus 1 -> hardware slot. */
XSB_API extern const int hw_enum_to_slot_num[8];
XSB_API extern const int slot_num_to_hw_enum[8];

XSB_API unsigned xsb_print_logs(unsigned enable) XSB_NOEXCEPT;

/* Opens a raw packet socket for ethertype proto; the interface ethdev is used
 * for sending (the socket hears that ethertype on every interface). Returns
 * the record even when a step failed: test xsb_fileno() < 0. Null only when
 * memory is exhausted. */
XSB_API xsb_sock *xsb_open(const char *ethdev, int proto) XSB_NOEXCEPT;
/* Sends len bytes (14 to 1514) of pkt to its destination MAC; returns what
 * sendto returns, -1 with errno EINVAL for a length out of range. */
XSB_API int xsb_send(xsb_sock *sock, xsb_pkt *pkt, int len) XSB_NOEXCEPT;
/* Receives one frame into the whole of pkt; the byte count or -1. */
XSB_API int xsb_recv(xsb_sock *sock, xsb_pkt *pkt, int len) XSB_NOEXCEPT;
XSB_API int xsb_close(xsb_sock *sock) XSB_NOEXCEPT;
XSB_API int xsb_fileno(xsb_sock *sock) XSB_NOEXCEPT;
XSB_API unsigned char *xsb_get_ifhwaddr(xsb_sock *sock) XSB_NOEXCEPT;
/* Hex dump of the first len bytes on standard output. */
XSB_API void xsb_print_packet(xsb_pkt *pkt, int len) XSB_NOEXCEPT;

/* XSB address text "HLL" <-> MAC. */
XSB_API int xsb_get_addr(const unsigned char mac[6], char *vaddr, unsigned len) XSB_NOEXCEPT;
XSB_API int xsb_set_addr(unsigned char mac[6], const char *vaddr) XSB_NOEXCEPT;
XSB_API int xsbpkt_set_dest(xsb_pkt *pkt, const char *vaddr) XSB_NOEXCEPT;
XSB_API int xsbpkt_get_dest(xsb_pkt *pkt, char *vaddr, unsigned len) XSB_NOEXCEPT;
XSB_API int xsbpkt_set_source(xsb_pkt *pkt, const char *vaddr) XSB_NOEXCEPT;
XSB_API int xsbpkt_get_source(xsb_pkt *pkt, char *vaddr, unsigned len) XSB_NOEXCEPT;

/* 1 when 0 <= vmapaddr < 512. */
XSB_API int xsbvmap_is_valid(int vmapaddr) XSB_NOEXCEPT;
/* Builds a raw-payload frame (ethertype 0x88B7) in buf; plen + 14, or -1
 * when len < plen + 14. */
XSB_API int xsbraw_init_eth_payload(void *buf, int len, int xaddr_to, int xaddr_from,
                                    const void *payload, int plen) XSB_NOEXCEPT;
/* Parses one line of hex text (up to a line feed or "#") into bytes;
 * returns the number of complete bytes. */
XSB_API int xsbraw_line_atob(char *binbuf, int len, const char *hexbuf) XSB_NOEXCEPT;

/* ---------------------------------------------------------------------
 * INFO records
 * ------------------------------------------------------------------- */

typedef enum portid {
    PORTID_UNKNOWN = 0,
    PORTID_INFO = 1,
    PORTID_IFP = 2,
    PORTID_BRIDGE = 3,
    PORTID_FPGAPGM = 4,
    PORTID_RGMII = 5,
    PORTID_RMII = 6,
    PORTID_TS = 7,
    PORTID_AUDIO = 8,
    PORTID_ASI = 9,
    PORTID_LAST = 10
} portid;

typedef enum fpgamfg {
    FPGAMFG_UNKNOWN = 0,
    FPGAMFG_LATTICE = 1,
    FPGAMFG_XILINX = 2,
    FPGAMFG_ALTERA = 3,
    FPGAMFG_MICROSEMI = 4
} fpgamfg;

XSB_API extern const char *const strPORTID[PORTID_LAST + 1];
XSB_API extern const char *const fpgamfg_strings[5];
XSB_API extern const char *const strFPGAMFG[6];
XSB_API extern const char *const fpgafam_lattice_strings[4];
XSB_API extern const char *const strFPGAFAMLAT[5];
XSB_API extern const char *const fpgapart_lattice_strings[10];
XSB_API extern const char *const strFPGAPARLAT[11];
XSB_API extern const char *const fpgapkg_lattice_strings[2];

/* Records after "INFO" up to the end record or the end of the buffer;
 * 0 when len is 0, -1 when the buffer does not begin with "INFO". */
XSB_API int xsbinfo_count_records(const char *xsbinfobuf, int len) XSB_NOEXCEPT;
/* The record at index (0 = first after "INFO") in host order; 0 or -1. */
XSB_API int xsbinfo_get_index(const char *xsbinfobuf, int len, int index, uint32_t *rec) XSB_NOEXCEPT;

/* Texts of one record (host order): the full text's length, or -1 when the
 * record is not of the kind the function decodes. Cut to len bytes. */
XSB_API int xsbinfo_carrier_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_fpga_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_version_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_blvds_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_port_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_xsb_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_bridge_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_sequencer_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_xqueues_eg_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_xqueues_ig_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_audio_rx_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;
XSB_API int xsbinfo_audio_tx_to_string(char *buf, int len, const uint32_t *rec) XSB_NOEXCEPT;

/* ---------------------------------------------------------------------
 * IFP flash access
 * ------------------------------------------------------------------- */

typedef enum VERSION_OPERATION {
    VERSION_1_OPERATION_MSPI = 17, /* SPI flash command */
    VERSION_1_OPERATION_WB = 18,   /* Wishbone bytes */
    VERSION_1_OPERATION_DROM = 19  /* configuration ROM */
} VERSION_OPERATION;

/* JEDEC serial-flash commands. */
typedef enum ssf_cmd {
    SSF_CMD_NONE = 0,
    SSF_CMD_WRITE_STATUS_REGISTER = 0x01,
    SSF_CMD_PAGE_PROGRAM = 0x02,
    SSF_CMD_READ_DATA_BYTES = 0x03,
    SSF_CMD_WRITE_DISABLE = 0x04,
    SSF_CMD_READ_STATUS_REGISTER = 0x05,
    SSF_CMD_WRITE_ENABLE = 0x06,
    SSF_CMD_READ_DATA_BYTES_HIGHER_SPEED = 0x0B,
    SSF_CMD_READ_IDENTIFICATION = 0x9F,
    SSF_CMD_RELEASE_DEEP_POWER_DOWN = 0xAB,
    SSF_CMD_DEEP_POWER_DOWN = 0xB9,
    SSF_CMD_BULK_ERASE = 0xC7,
    SSF_CMD_SECTOR_ERASE = 0xD8
} ssf_cmd;

typedef enum ssf_status {
    SSF_STATUS_WIP = 0x01,
    SSF_STATUS_WEL = 0x02,
    SSF_STATUS_BP0 = 0x04,
    SSF_STATUS_BP1 = 0x08,
    SSF_STATUS_BP2 = 0x10,
    SSF_STATUS_SRWD = 0x80
} ssf_status;

/* Flash capacity codes: code c means 2 to the power c bytes. */
typedef enum MEM_CAPACITY {
    MEM_CAPACITY_1Mb = 17,
    MEM_CAPACITY_2Mb = 18,
    MEM_CAPACITY_4Mb = 19,
    MEM_CAPACITY_8Mb = 20,
    MEM_CAPACITY_16Mb = 21,
    MEM_CAPACITY_32Mb = 22,
    MEM_CAPACITY_64Mb = 23,
    MEM_CAPACITY_128Mb = 24,
    MEM_CAPACITY_256Mb = 25
} MEM_CAPACITY;

typedef enum MSG { MSG_LOG = 0, MSG_QUIET = 1, MSG_VERBOSE = 2 } MSG;

typedef enum FILEMODE {
    FILEMODE_NONE = 0,
    FILEMODE_READ = 1,
    FILEMODE_WRITE = 2,
    FILEMODE_READ_WRITE = 3
} FILEMODE;

typedef enum ERR {
    ERR_NONE = 0,
    ERR_ID_NO_CARRIER = -2,
    ERR_NO_MEMORY = -10,
    ERR_IFNAME_ARG = -20,
    ERR_SOURCE_ARG = -21,
    ERR_DESTINATION_ARG = -22,
    ERR_LIBRARY_ARG = -23,
    ERR_PACKAGE_ARG = -24,
    ERR_FILE_ARG = -25,
    ERR_OFFSET_ARG = -26,
    ERR_SIZE_ARG = -27,
    ERR_OP_ARG = -28,
    ERR_FILE_READ = -30,
    ERR_FILE_WRITE = -31,
    ERR_FILE_MODE = -32,
    ERR_FILE_OPEN = -33,
    ERR_FILE_SEEK = -34,
    ERR_SOCKET = -40,
    ERR_REQUEST_SEND = -50,
    ERR_REQUEST_SIZE = -51,
    ERR_RESPONSE_RECV = -60,
    ERR_RESPONSE_SIZE = -61,
    ERR_RESPONSE_TIMEOUT = -62,
    ERR_RESPONSE_POLL = -63,
    ERR_REQRSP_SOCKET = -70,
    ERR_REQRSP_RETRIES = -71,
    ERR_LIBRARY_NONE = -80,
    ERR_PACKAGE_NONE = -81,
    ERR_GROUP_NONE = -82,
    ERR_FILE_NONE = -83,
    ERR_TARGET = -90,
    ERR_TARGET_DESIGN = -91,
    ERR_TARGET_PREAMBLE = -92,
    ERR_VERIFY_FAIL = -100,
    ERR_VERIFY_NONE = -101,
    ERR_ERASE_FAIL = -110,
    ERR_ERASE_NONE = -111,
    ERR_ERASE_TIMEOUT = -112,
    ERR_PROGRAM_FAIL = -120,
    ERR_PROGRAM_NONE = -121,
    ERR_PROGRAM_TIMEOUT = -122,
    ERR_READ_FAIL = -130
} ERR;

/* Error code and its text; the table ends with {0, NULL} (codes without a
 * text, ERR_NONE and ERR_SOCKET, are not listed). */
typedef struct err_num_msg_t {
    int num;
    const char *msg;
} err_num_msg_t;
XSB_API extern const err_num_msg_t err_num_msg[];

/* Identification of the serial flash (JEDEC READ IDENTIFICATION). */
typedef struct ssf_id_t {
    uint8_t mfg_id;
    uint8_t mem_type;
    uint8_t mem_capacity;
    uint8_t cfd_length;
    uint8_t cfd[16];
} ssf_id_t;

#define XSBIFP_PATH_LEN 512

/* Request and result of one flash operation; the caller owns it. */
typedef struct xsbifp {
    const char *ifname;  /* "eth2"; null or "loopback" works without a socket */
    const char *source;  /* this card's XSB address, "exy" */
    char dst[8];         /* the carrier's XSB address; second character = hardware slot */
    const char *library; /* image library directory, null for the default */
    const char *package; /* package file, null for "pkg" */
    const char *group;   /* group in the package, null for "default" */
    const char *file;    /* explicit image or output file */
    const char *offset;  /* "read": flash offset, any base */
    const char *size;    /* "read": size, any base */
    const char *op;      /* "id", "update", "verify", "erase", "program", "read", "refresh" (any case) */
    MSG msg;
    uint32_t function; /* carrier function number, 0 for none */
    char library_dir[XSBIFP_PATH_LEN];
    char package_file[XSBIFP_PATH_LEN];
    char group_name[XSBIFP_PATH_LEN];
    char target_file[XSBIFP_PATH_LEN];
    char log_msg[XSBIFP_PATH_LEN]; /* one-line summary */
    int needs_refresh;             /* 1 when "update" wrote and verified a new image */
    ERR err;
    FILEMODE filemode;
    char carrier[16]; /* given for image choice; filled by "id" */
    char version[16]; /* filled by "id" */
    char fpga[16];    /* FPGA device name: given, or filled by "id" */
    uint32_t fpga_id;
    uint32_t trace_id[2];
    uint32_t user_code;
    uint32_t status;
    const char *configuration; /* "SPI", "Flash" or "NVCM" (static text) */
    ssf_id_t ssf_id;
    int ssf_size;
    int image_offset;
    int image_size;
} xsbifp;

XSB_API int xsbifp_init(xsbifp *xsbifp) XSB_NOEXCEPT;
/* Runs xsbifp->op on one carrier; 0 when it ended with error 0, else -1
 * with the code in xsbifp->err and a summary in xsbifp->log_msg. Texts are
 * printed only while logging is on and msg is MSG_VERBOSE. Safe on several
 * threads at once with different records. */
XSB_API int xsbifp_op(xsbifp *xsbifp) XSB_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
