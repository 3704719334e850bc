// Recording stand-ins for the programs system control runs (ip, sed, route,
// systemctl, date), put in a directory that KD_CMD_DIR names while alive.
// Each call appends "NAME ARGS..." to calls.log; a file NAME.fail holding a
// text makes the calls whose arguments contain it exit 1. The sed stand-in
// also runs the real sed, so unit-file edits can be checked (the files live
// under the test's KD_ROOT).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kdtest {

class CommandStandins {
public:
    explicit CommandStandins(const std::string &dir) : dir_(dir)
    {
        std::filesystem::create_directories(dir_);
        for (const char *name : {"ip", "sed", "route", "systemctl", "date"}) {
            const std::string path = dir_ + "/" + name;
            std::ofstream f(path);
            f << "#!/bin/sh\n"
              << "D=" << dir_ << "\n"
              << "echo \"" << name << " $*\" >> $D/calls.log\n"
              << "if [ -f $D/" << name << ".fail ] && echo \"$*\" | grep -qF -- \"$(cat $D/" << name
              << ".fail)\"; then exit 1; fi\n";
            if (std::string(name) == "sed")
                f << "exec /bin/sed \"$@\"\n";
            f << "exit 0\n";
            f.close();
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        }
        const char *old = std::getenv("KD_CMD_DIR");
        had_old_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("KD_CMD_DIR", dir_.c_str(), 1);
    }
    ~CommandStandins()
    {
        if (had_old_)
            setenv("KD_CMD_DIR", old_.c_str(), 1);
        else
            unsetenv("KD_CMD_DIR");
    }
    CommandStandins(const CommandStandins &) = delete;
    CommandStandins &operator=(const CommandStandins &) = delete;

    std::vector<std::string> calls() const
    {
        std::vector<std::string> out;
        std::ifstream in(dir_ + "/calls.log");
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    void clear() const { std::filesystem::remove(dir_ + "/calls.log"); }
    // Calls of `name` whose arguments contain `text` exit 1 from now on.
    void fail(const std::string &name, const std::string &text) const { std::ofstream(dir_ + "/" + name + ".fail") << text; }
    void unfail(const std::string &name) const { std::filesystem::remove(dir_ + "/" + name + ".fail"); }

private:
    std::string dir_, old_;
    bool had_old_ = false;
};

// Points the command log (KD_CMD_LOG) at a file of the test's own while
// alive. A test that provokes refusals on purpose reads them here, and they
// stay off the log that the test command checks after the last test.
class OwnCommandLog {
public:
    explicit OwnCommandLog(const std::string &path) : path_(path)
    {
        const char *old = std::getenv("KD_CMD_LOG");
        had_old_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("KD_CMD_LOG", path_.c_str(), 1);
    }
    ~OwnCommandLog()
    {
        if (had_old_)
            setenv("KD_CMD_LOG", old_.c_str(), 1);
        else
            unsetenv("KD_CMD_LOG");
    }
    OwnCommandLog(const OwnCommandLog &) = delete;
    OwnCommandLog &operator=(const OwnCommandLog &) = delete;

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

private:
    std::string path_, old_;
    bool had_old_ = false;
};

} // namespace kdtest
