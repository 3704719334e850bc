// m30paramprint: prints one codec-chip parameter-block file (typically a
// dump "/tmp/kerrow_<tag>param_<n>.bin" written before a block load) with
// the library's printer for its block type.
#include "cparam.h"
#include "decode/adparam.h"
#include "decode/aoparam.h"
#include "decode/dmxparam.h"
#include "decode/dparam.h"
#include "decode/siparam.h"
#include "decode/vdparam.h"
#include "decode/vfparam.h"
#include "decode/voparam.h"
#include "encode/aeparam.h"
#include "encode/aesparam.h"
#include "encode/aiparam.h"
#include "encode/ainparam.h"
#include "encode/ainsparam.h"
#include "encode/aipparam.h"
#include "encode/eaparam.h"
#include "encode/ehparam.h"
#include "encode/emparam.h"
#include "encode/masparam.h"
#include "encode/muparam.h"
#include "encode/vaparam.h"
#include "encode/viparam.h"
#include "encode/vinparam.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <string_view>
#include <strings.h>

namespace {

struct block_type {
    const char *name; // as given to --type
    const char *tag;  // of the dump file name, "<tag>param"
    int (*print)(const uint8_t *, size_t) noexcept;
};

// A longer name comes before its prefix (VIN before VI, AINS before AIN,
// AES before AE, AIP before AI): --type matches the first name that
// prefixes its argument.
constexpr block_type types[] = {
    {"VIN", "vin", m30_print_vinparam},   {"VI", "vi", m30_print_viparam},
    {"VA", "va", m30_print_vaparam},      {"EH", "eh", m30_print_ehparam},
    {"EA", "ea", m30_print_eaparam},      {"EM", "em", m30_print_emparam},
    {"MU", "mu", m30_print_muparam},      {"AINS", "ains", m30_print_ainsparam},
    {"AIN", "ain", m30_print_ainparam},   {"AES", "aes", m30_print_aesparam},
    {"AE", "ae", m30_print_aeparam},      {"AIP", "aip", m30_print_aipparam},
    {"AI", "ai", m30_print_aiparam},      {"MAS", "mas", m30_print_masparam},
    {"CP", "c", m30_print_cparam},        {"SI", "si", m30_print_siparam},
    {"DMX", "dmx", m30_print_dmxparam},   {"VD", "vd", m30_print_vdparam},
    {"VF", "vf", m30_print_vfparam},      {"VO", "vo", m30_print_voparam},
    {"AD", "ad", m30_print_adparam},      {"AO", "ao", m30_print_aoparam},
    {"D", "d", m30_print_dparam},
};

constexpr size_t image_max = 1024; // the largest block image (MU)
constexpr size_t image_min = 64;   // the smallest block image
uint8_t image[image_max];

void usage()
{
    std::printf("M30 parameter bin file pretty printer\n\nm30paramprint [--type|t TYPE] FILENAME\n\n"
                "  -t --type TYPE  Specify param type has value: CP, VI, VIN, VA, EH, MU, etc..\n\n"
                "NOTE: If type is not specified, the type is determined by presence of above patterns in "
                "FILENAME\n");
}

const block_type *type_by_name(std::string_view arg)
{
    for (const block_type &t : types)
        if (arg.starts_with(t.name))
            return &t;
    return nullptr;
}

// The type is looked for in the base name only (any case), so a
// directory's name never decides. A dump file is named after its block's
// tag followed by "param", and that decides: "kerrow_aiparam_0.bin" is AI
// although "AIP" is tried first. Any other name is matched against the
// type names, as the usage text says: "vd_block.bin" is VD.
const block_type *type_by_file(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    std::string base = slash ? slash + 1 : path;
    for (char &c : base)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const block_type *dump = nullptr;
    for (const block_type &t : types)
        if (!dump && base.find(std::string(t.tag) + "param") != std::string::npos)
            dump = &t;
    for (const block_type &t : types) {
        std::printf("Check type '%s' in '%s'.\n", t.name, path);
        std::string name = t.name;
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (dump ? &t == dump : base.find(name) != std::string::npos)
            return &t;
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"type", required_argument, nullptr, 't'},
        {nullptr, 0, nullptr, 0},
    };
    const block_type *type = nullptr;
    for (;;) {
        int c = getopt_long(argc, argv, "", long_options, nullptr);
        if (c == -1)
            break;
        if (c == 'h') {
            usage();
            return 0;
        }
        if (c == 't') {
            type = type_by_name(optarg);
            continue;
        }
        usage();
        return 1;
    }
    if (optind >= argc) {
        std::fprintf(stderr, "No FILENAME provided! Exiting.\n");
        return 1;
    }
    const char *filename = argv[optind];
    if (!type) {
        type = type_by_file(filename);
        if (!type) {
            std::fprintf(stderr, "Could not determine type for '%s'. Exiting.\n", filename);
            return 1;
        }
    }
    std::printf("Options summary:\n  TYPE is %s:\n  FILENAME is %s:\n", type->name, filename);
    std::fflush(stdout);

    FILE *f = std::fopen(filename, "rb");
    if (!f) {
        std::fprintf(stderr, "Could not open %s for reading! Exiting.\n", filename);
        return 1;
    }
    // A longer file is printed from its first 1024 bytes; the rest of a
    // shorter one stays zero.
    size_t n = std::fread(image, 1, sizeof image, f);
    const int read_error = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (read_error) { // a directory, an I/O error
        std::fprintf(stderr, "Could not read %s: %s! Exiting.\n", filename, std::strerror(read_error));
        return 1;
    }
    if (n < image_min) {
        std::fprintf(stderr, "File %s is too small - %zu bytes! Exiting.\n", filename, n);
        return 1;
    }
    return type->print(image, sizeof image) == 0 ? 0 : 1;
}
