// The pass_persist dialogue with snmpd: "PING"/"PONG", then get, getnext
// and set of the device MIB, answered through the CLI server.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "cli.h"

namespace snmpbridge {

struct get_answer {
    bool ok = false;
    std::string suboid;
    std::string type;  // "integer", "string" or empty
    std::string value;
};

// The SNMP type text of a CLI type.
std::string snmp_type(std::string_view cli_type);

get_answer get_get_data(const std::string &cliref_raw, const cli_data_t *record);
get_answer do_get(std::string_view suboid);
get_answer do_getnext(std::string_view suboid);
// The result word of a set ("DONE", "not-writable", "wrong-type" ...).
std::string do_set(std::string_view suboid, std::string_view type, std::string_view value);

// Reads one line; answers "PONG" to one that contains "PING".
bool netsnmp_handshake(std::istream &in, std::ostream &out);

// Serves requests until the input ends.
void main_loop(std::istream &in, std::ostream &out);

} // namespace snmpbridge
