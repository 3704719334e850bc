// A private root for the bridge's tests: the test MIB under
// /usr/local/share/mibs, a CLI tree for the stand-in server, /var/run and
// /tmp, with KD_ROOT pointing there while alive.
#pragma once

#include <cliserver_rig.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace snmpbridge::test {

// The parameters behind the test MIB. This card's own parameters stand at
// the root; cards 3, 5 and 10 are mirrored under proxy/carrier_N/.
inline constexpr const char *kTree =
    "system/name\tString\tRead Write\tcard-1\n"
    "system/mode\tChoice\tRead Write\tOn\tOff, On, Auto\n"
    "system/timezone\tChoice\tRead Write\tEurope/Paris\n"
    "system/uptime\tNumber\tRead Only\t3600\n"
    "system/password\tString\tWrite Only\tsecret\n"
    "system/level\tNumber\tRead Write\t5\n"
    "system/code\tNumber\tWrite Only\t0\n"
    "system/note\tString\tRead Write\ta, \"quoted\" note \\ here\n"
    "system/location\tString\tRead Only\tRack 4\n"
    "input/1/name\tString\tRead Write\tstudio\n"
    "input/1/rate\tNumber\tRead Write\t1000\n"
    "input/2/name\tString\tRead Write\tbackup\n"
    "input/2/rate\tNumber\tRead Write\t2000\n"
    "proxy/carrier_3/system/name\tString\tRead Only\tcard-3\n"
    "proxy/carrier_3/system/mode\tChoice\tRead Write\tAuto\tOff, On, Auto\n"
    "proxy/carrier_3/input/4/name\tString\tRead Write\tfeed\n"
    "proxy/carrier_3/input/4/rate\tNumber\tRead Write\t400\n"
    "proxy/carrier_5/system/name\tString\tRead Only\tcard-5\n"
    "proxy/carrier_5/system/mode\tChoice\tRead Write\tOff\tOff, On, Auto\n"
    "proxy/carrier_10/system/name\tString\tRead Only\tcard-10\n";

class root {
public:
    root()
    {
        char tmpl[] = "/tmp/sbXXXXXX";
        dir_ = ::mkdtemp(tmpl);
        namespace fs = std::filesystem;
        fs::create_directories(dir_ + "/usr/local/share/mibs");
        fs::create_directories(dir_ + "/var/run");
        fs::create_directories(dir_ + "/tmp");
        for (const auto &f : fs::directory_iterator(SNMP_TEST_MIBS))
            fs::copy_file(f.path(), dir_ + "/usr/local/share/mibs/" + f.path().filename().string());
        std::ofstream(tree()) << kTree;
        ::setenv("KD_ROOT", dir_.c_str(), 1);
    }
    ~root()
    {
        ::unsetenv("KD_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    root(const root &) = delete;
    root &operator=(const root &) = delete;

    const std::string &dir() const { return dir_; }
    std::string tree() const { return dir_ + "/tree"; }
    std::string record() const { return dir_ + "/requests"; }

private:
    std::string dir_;
};

} // namespace snmpbridge::test
