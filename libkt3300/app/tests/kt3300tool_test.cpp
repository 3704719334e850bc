// kt3300tool as a user runs it: the real program started as a child
// against the simulated board, its output compared with what the board's
// registers and bus log hold afterwards.
#include "board_sim.h"
#include "spi_kt33.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using boardsim::BusEvent;

namespace {

std::string program()
{
    const char *build = std::getenv("KD_BUILD_DIR");
    return build ? std::string(build) + "/bin/kt3300tool" : "kt3300tool";
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A running kt3300tool: standard output on a pipe, standard error into a
// file under the test's root.
class Child {
public:
    Child(const std::vector<std::string> &args, const std::string &err_path)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> argv_s = {program()};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (e >= 0)
                dup2(e, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_fd_ = fds[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (out_fd_ >= 0)
            close(out_fd_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Reads until n complete lines have arrived (or end of output).
    std::string lines(size_t n)
    {
        while (std::count(out_.begin(), out_.end(), '\n') < static_cast<long>(n) && fill()) {
        }
        return out_;
    }
    std::string rest()
    {
        while (fill()) {
        }
        return out_;
    }
    int wait()
    {
        int st = 0;
        if (pid_ > 0 && waitpid(pid_, &st, 0) == pid_)
            status_ = st;
        pid_ = -1;
        return status_;
    }
    void signal(int sig) { kill(pid_, sig); }

private:
    bool fill()
    {
        char buf[4096];
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int status_ = -1;
    std::string out_;
};

struct Outcome {
    int status; // exit status, or -signal
    std::string out, err;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KT3300TOOL_WAIT_DIVISOR", "1000", 1);
        sim_ = std::make_unique<boardsim::BoardSim>();
    }
    void TearDown() override
    {
        sim_.reset();
        unsetenv("KT3300TOOL_WAIT_DIVISOR");
    }

    Outcome run(const std::vector<std::string> &args)
    {
        std::string err = root_ / "stderr.txt";
        Child c(args, err);
        Outcome r{-1, c.rest(), ""};
        int st = c.wait();
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? -WTERMSIG(st) : -1000;
        r.err = read_file(err);
        return r;
    }

    // Fills the write plane of a register range with a marker, so a test
    // can tell whether the program stored there.
    void mark(uint32_t off, size_t len) { std::memset(sim_->board().wr + off, 0xEE, len); }
    bool untouched(uint32_t off, size_t len) const
    {
        for (size_t i = 0; i < len; ++i)
            if (sim_->board().wr[off + i] != 0xEE)
                return false;
        return true;
    }
    static uint32_t tp(unsigned n) { return 0x1000 + n * 0x200; }

    kdtest::TempRoot root_;
    std::unique_ptr<boardsim::BoardSim> sim_;
};


} // namespace

TEST_F(ToolTest, VersionAndRateInCommandLineOrder)
{
    Outcome r = run({"-z", "-r", "27000000", "--version", "-x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "KT-3300 Artix version 2.3\nSetting egress rate to 27000000\nKT-3300 Artix version 2.3\n");
    EXPECT_EQ(sim_->wr32(0x4000), 3078144u);

    // Out of the library's range: the library's error; not a number: no
    // store at all.
    sim_->board().wr[0x4000] = 0xEE;
    r = run({"-r", "175000001", "--tmr", "12x", "-r", "-5", "-z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Setting egress rate to 175000001\nKT-3300 Artix version 2.3\n");
    EXPECT_EQ(r.err, "egress_rate: Numerical result out of range\n"
                     "egress_rate: 12x: Invalid argument\n"
                     "egress_rate: -5: Invalid argument\n");
    EXPECT_EQ(sim_->board().wr[0x4000], 0xEE);
}

TEST_F(ToolTest, BoardAbsentOrNotMappable)
{
    fs::remove(root_ / "proc/bus/pci/devices");
    Outcome r = run({"-z"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "No Artix present! Exiting...\n");

    sim_.reset();
    sim_ = std::make_unique<boardsim::BoardSim>();
    std::ofstream(root_ / "sys/class/uio/uio0/maps/map0/size") << "0x1000\n";
    r = run({"-z"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kt3300_open: No such device\n");
}

TEST_F(ToolTest, HelpAndUnknownOptionsGoOnWithTheNextOption)
{
    std::string usage = read_file(KT3300TOOL_TEST_DIR "/expected/usage.txt");
    ASSERT_FALSE(usage.empty());
    Outcome r = run({"-h", "-z"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage + "KT-3300 Artix version 2.3\n");
    EXPECT_EQ(run({"--help"}).out, usage);

    r = run({"-q", "--nothing", "-o", "-z"}); // -o swallows -z as its argument
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Unrecognized arg ?\nUnrecognized arg ?\noverlay: optarg -z\n"
                     "overlay options: ch#,off | ch#,on,vidstd,size,x,y,line,col,text\n");
    EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;
    r = run({"-z", "-r"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "KT-3300 Artix version 2.3\nUnrecognized arg ?\n");
}

TEST_F(ToolTest, CsaKeysPidTableAndEnable)
{
    Outcome r = run({"-c"});
    ASSERT_EQ(r.status, 0);
    std::istringstream in(r.out);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "Testing CSA engine----- !!!");
    // Each printed key is what its slot holds.
    const uint32_t key_reg[4] = {0x4100, 0x4110, 0x4108, 0x4118};
    std::vector<std::vector<uint8_t>> keys;
    for (unsigned slot = 0; slot < 4; ++slot) {
        std::getline(in, line);
        std::string head = "Enc" + std::to_string(slot) + "_Key=  ";
        ASSERT_EQ(line.substr(0, head.size()), head) << line;
        std::istringstream bytes(line.substr(head.size() - 1));
        std::vector<uint8_t> key;
        std::string b;
        while (bytes >> b)
            key.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
        ASSERT_EQ(key.size(), 8u) << line;
        EXPECT_EQ(std::memcmp(sim_->board().wr + key_reg[slot], key.data(), 8), 0) << slot;
        keys.push_back(key);
    }
    for (unsigned i = 1; i < 4; ++i)
        EXPECT_NE(keys[i], keys[0]) << "one key per slot";
    const char *pid_lines[] = {"Enc0_key 0 PID  6b9", "Enc1_key 2 PID  6cd", "Enc2_key 1 PID  6e1",
                               "Enc3_key 3 PID  6f5", "Enc4_key 0 PID 1fff"};
    for (const char *want : pid_lines) {
        std::getline(in, line);
        EXPECT_EQ(line, want);
    }
    std::getline(in, line);
    EXPECT_EQ(line, "CSA test DONE ----- !!!");
    EXPECT_FALSE(std::getline(in, line));

    const uint16_t table[] = {0x8000 | 1721, 0x8000 | 2 << 13 | 1741, 0x8000 | 1 << 13 | 1761,
                              0x8000 | 3 << 13 | 1781, 8191, 0};
    for (unsigned i = 0; i < 6; ++i)
        EXPECT_EQ(sim_->wr16(0x4200 + 2 * i), table[i]) << i;
    EXPECT_EQ(sim_->wr16(0x4004), 1);

    r = run({"-d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Testing CSA engine----- !!!\nCSA test DONE ----- !!!\n");
    EXPECT_EQ(sim_->wr16(0x4004), 0);
}

TEST_F(ToolTest, OverlayOnAndOff)
{
    boardsim::put16(sim_->board().wr, tp(1) + 2, 0x8003);
    Outcome r = run({"-o", "1,off"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "overlay: optarg 1,off\nDisabling overlay ch-1\n");
    EXPECT_EQ(sim_->wr16(tp(1) + 2), 0);

    r = run({"-o", "0,on,20,0,10,20,1,2,abc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "overlay: optarg 0,on,20,0,10,20,1,2,abc\n"
                     "Overlay: ch 0, vstd 720p60, size 4x, posx 10, posy 20\n"
                     "    line 1, col 2, text: [abc]\n");
    EXPECT_EQ(sim_->wr16(tp(0) + 0x04), 0x2007 | 0x0600 | 0x0008); // 720p60, internal clock
    EXPECT_EQ(sim_->wr16(tp(0) + 0x02), 0x0003);                   // overlay and bars
    EXPECT_EQ(sim_->wr16(tp(0) + 0x10), 10);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x0E), 20);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x18), 2);
    // The last cell written is the text's last character at row 1, column
    // 2 + 2, drawn with the outline.
    EXPECT_EQ(sim_->wr16(tp(0) + 0x12), 64 + 4);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x14), 3 << 8 | 'c');

    // Negative positions place the text off the top left; size 1 is "2x";
    // the text is the rest of the argument, commas included.
    r = run({"--overlay=2,on,5,1,-16,-10,0,0,a,b"});
    EXPECT_EQ(r.out, "overlay: optarg 2,on,5,1,-16,-10,0,0,a,b\n"
                     "Overlay: ch 2, vstd 1080p5994, size 2x, posx -16, posy -10\n"
                     "    line 0, col 0, text: [a,b]\n");
    EXPECT_EQ(sim_->wr16(tp(2) + 0x10), 0x1FF0);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x0E), 0x1FF6);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x18), 1);
}

TEST_F(ToolTest, OverlayParseFailuresTouchNothing)
{
    const char *bad[] = {
        "x,off",     "-1,off",          "4,off",           "1,off,",         "1,of",
        "0,maybe",   "0,on",            "0,on,7,0,26,hello world", "0,on,-1,0,0,0,0,0,t",
        "0,on,7,-2,0,0,0,0,t", "0,on,7,0,0,0,-1,0,t", "0,on,7,0,0,0,0,-3,t", "0,on,7,0,1x,0,0,0,t",
        "0,on,7,0,0,0,0,1x,t", "0,on, 7,0,0,0,0,0,t", "0,on,7,0,0,0,0,0", "",
    };
    for (const char *arg : bad) {
        mark(0x1000, 0x800);
        Outcome r = run({"-o", arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.out, std::string("overlay: optarg ") + arg +
                             "\noverlay options: ch#,off | ch#,on,vidstd,size,x,y,line,col,text\n")
            << arg;
        EXPECT_TRUE(untouched(0x1000, 0x800)) << arg;
    }
}

TEST_F(ToolTest, GspiWriteThenReadInASecondRun)
{
    sim_->add_chip(0, GS3241_DEV_ID);
    sim_->clear_events();
    Outcome r = run({"-W", "1", "0", "0x10", "0x2000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "spi 0 register write addr:0x10 data:0x2000\n");
    EXPECT_EQ(sim_->chip_reg(0, 0x10), 0x2000);
    r = run({"--Read", "1", "0", "10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "spi 0 register read addr:0x10 readback:0x2000\n");

    std::vector<BusEvent> at10;
    for (const BusEvent &e : sim_->events(boardsim::BUS_GSPI))
        if (e.addr == 0x10)
            at10.push_back(e);
    ASSERT_EQ(at10.size(), 2u);
    EXPECT_FALSE(at10[0].rd);
    EXPECT_EQ(at10[0].chn, 0);
    EXPECT_EQ(at10[0].data, 0x2000u);
    EXPECT_TRUE(at10[1].rd);

    // Plain SPI to an IO module: register 0xF1 holds its identification.
    sim_->add_module(2, 105);
    r = run({"-R", "0", "2", "0xf1"});
    EXPECT_EQ(r.out, "spi 2 register read addr:0xf1 readback:0x69\n");
}

// A typo must never write a register: anything but exactly the values,
// each whole and in range, prints the examples and leaves the bus alone.
TEST_F(ToolTest, RegisterAccessArgumentsParsedWhole)
{
    sim_->add_chip(0, GS3241_DEV_ID);
    const std::string read_ex = "Example: kt3300tool -R [GspiFlag(0/1)] [chn(dec)] [addr(hex)]\n"
                                "eg: kt3300tool -R 1 0 0x0\n";
    const std::string write_ex = "Example: kt3300tool -W [GspiFlag(0/1)] [chn(dec)] [addr(hex)] [data(hex)]\n"
                                 "eg: kt3300tool -W 1 0 0x0 0x2000\n";
    struct Case {
        std::vector<std::string> args;
        const std::string &out;
    } cases[] = {
        {{"-R", "1", "0"}, read_ex},
        {{"-R", "1", "0", "0x10", "7"}, read_ex},
        {{"-R", "2", "0", "0x10"}, read_ex},
        {{"-R", "01", "0", "0x10"}, read_ex},
        {{"-R", "1", "x", "0x10"}, read_ex},
        {{"-R", "1", "-1", "0x10"}, read_ex},
        {{"-R", "1", "0", "0x1g"}, read_ex},
        {{"-R", "1", "0", "0x100000000"}, read_ex},
        {{"-R", "1", "0", "-0x10"}, read_ex},
        {{"-R1", "0", "0x10", "5"}, read_ex},
        {{"-W", "1", "0", "0x10"}, write_ex},
        {{"-W", "1", "0", "zz", "0x2000"}, write_ex},
        {{"-W", "1", "0", "0x10", "0x2000x"}, write_ex},
        {{"-W", "1", "0", "0x10", ""}, write_ex},
        {{"-W", "1", "0", "0x10", " 0x20"}, write_ex},
    };
    for (const Case &c : cases) {
        sim_->clear_events();
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args.size();
        EXPECT_TRUE(sim_->events().empty()) << c.args[0] << " " << c.args.size();
    }
    EXPECT_EQ(sim_->chip_reg(0, 0), 0);
}

TEST_F(ToolTest, BusLockHeldByAnotherProcess)
{
    sim_->add_chip(0, GS3241_DEV_ID);
    sim_->set_chip_reg(0, 0x10, 0x1234);
    pid_t holder = sim_->hold_bus_lock();
    ASSERT_GT(holder, 0);

    sim_->clear_events();
    Outcome r = run({"-R", "1", "0", "0x10"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "spi_kt33_reg_read: Device or resource busy\n");
    r = run({"-W", "1", "0", "0x10", "0x1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "spi_kt33_reg_write: Device or resource busy\n");
    EXPECT_TRUE(sim_->events().empty());
    EXPECT_EQ(sim_->chip_reg(0, 0x10), 0x1234);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    r = run({"-R", "1", "0", "0x10"});
    EXPECT_EQ(r.out, "spi 0 register read addr:0x10 readback:0x1234\n");
}

TEST_F(ToolTest, TemperatureMonitor)
{
    Outcome r = run({"-t3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Artix temp= 34 deg C\nArtix temp= 34 deg C\nArtix temp= 34 deg C\n");
    r = run({"--temp=1", "-z"});
    EXPECT_EQ(r.out, "Artix temp= 34 deg C\nKT-3300 Artix version 2.3\n");

    sim_->set16(0x3100, 1894 << 4);
    r = run({"-t1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Artix temp error, raw= 0x766\n");

    r = run({"-tx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\"x\""), std::string::npos) << r.err;

    // Without a count it reads until stopped; the signal ends it after the
    // board is released, and no printed line is lost.
    sim_->set16(0x3100, 2500 << 4);
    Child c({"-t", "-z"}, root_ / "stderr.txt");
    std::string out = c.lines(4);
    std::string four;
    for (int i = 0; i < 4; ++i)
        four += "Artix temp= 34 deg C\n";
    EXPECT_EQ(out.substr(0, four.size()), four);
    c.signal(SIGTERM);
    out = c.rest();
    int st = c.wait();
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
    EXPECT_EQ(out.find("version"), std::string::npos) << "options after a stop do not run";
    EXPECT_EQ(out.back(), '\n');
}

TEST_F(ToolTest, VideoStatusMonitor)
{
    sim_->set16(0x400, 0x8000 | 0x2000 | 0x0800 | 0x0200 | 10 << 4 | 0);
    sim_->set16(0x500, 0);
    sim_->set16(0x600, 0x4000 | 0x0400 | 5 << 4 | 1);
    sim_->set16(0x700, 0x8000 | 0x2000 | 6 << 4 | 9);
    const std::string verbose = "Enc0= locked fmtlocked A [3G] 1920x1080 p59.94 "
                                "Enc1= ------ --------- A [HD] 1920x1080 iNULL "
                                "Enc2= ------ --------- B [SD] 1280x720 i25 "
                                "Enc3= locked fmtlocked A [HD] PAL i29.97 \n";
    {
        Child c({"-v"}, root_ / "stderr.txt");
        EXPECT_EQ(c.lines(3).substr(0, 3 * verbose.size()), verbose + verbose + verbose);
        // A change of input shows in a later line.
        sim_->set16(0x500, 0x8000);
        std::string out;
        for (size_t n = 4; n < 200; ++n) {
            out = c.lines(n);
            if (out.find("Enc1= locked") != std::string::npos)
                break;
        }
        EXPECT_NE(out.find("Enc1= locked --------- A [HD]"), std::string::npos);
        c.signal(SIGTERM);
        c.rest();
        int st = c.wait();
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    }
    Child c({"-v1"}, root_ / "stderr.txt");
    const std::string raw = "0xaaa0 0x8000 0x4451 0xa069 \n";
    EXPECT_EQ(c.lines(2).substr(0, 2 * raw.size()), raw + raw);
}

TEST_F(ToolTest, AudioCrosspointTestEndsWithIdentityTables)
{
    Outcome r = run({"-a"});
    ASSERT_EQ(r.status, 0);
    std::string want;
    char buf[96];
    for (unsigned enc = 0; enc < 4; ++enc) {
        std::snprintf(buf, sizeof buf, "Testing aud PSA xpoint, switch to encoder %u\n", enc);
        want += buf;
        for (unsigned v = 0; v < 16; ++v) {
            std::snprintf(buf, sizeof buf, "Enc%u Test aud PSA xpoint: write 0x%4.4x\n", enc, v << 8 | v);
            want += buf;
        }
    }
    for (unsigned enc = 4; enc-- > 0;) {
        std::snprintf(buf, sizeof buf, "Enc%u Restoring aud PSA xpoint 1:1\n", enc);
        want += buf;
    }
    EXPECT_EQ(r.out, want);
    const uint8_t identity[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    for (unsigned in = 0; in < 4; ++in)
        EXPECT_EQ(std::memcmp(sim_->board().wr + in * 0x100, identity, 8), 0) << in;
}

TEST_F(ToolTest, BarsAndTextTestsEndWithThePatternOff)
{
    for (unsigned in = 0; in < 4; ++in)
        boardsim::put16(sim_->board().wr, tp(in) + 2, 0x8003);
    Outcome r = run({"-s"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Enabling fault mode generator on all channels for 20 secs at 1080p5994\n"
                     "Disabling fault mode generator on all channels at 1080i2997\n");
    for (unsigned in = 0; in < 4; ++in) {
        EXPECT_EQ(sim_->wr16(tp(in) + 0x04), 0x3002 | 0x0008) << in; // 1080i29.97, board clock
        EXPECT_EQ(sim_->wr16(tp(in) + 0x02), 0) << in;
    }

    for (unsigned in = 0; in < 4; ++in)
        boardsim::put16(sim_->board().wr, tp(in) + 2, 0x8003);
    r = run({"-b"});
    ASSERT_EQ(r.status, 0);
    std::string want;
    char buf[96];
    for (unsigned enc = 0; enc < 4; ++enc) {
        const char *fmt[] = {"Testing fault mode generator, switch to encoder %u\n", "Enc%u Changing text size..\n",
                             "Enc%u Moving text horizontal..\n", "Enc%u Moving text vertical..\n",
                             "Enc%u Internal Bars/OSD OFF..\n"};
        for (const char *f : fmt) {
            std::snprintf(buf, sizeof buf, f, enc);
            want += buf;
        }
    }
    EXPECT_EQ(r.out, want);
    for (unsigned in = 0; in < 4; ++in) {
        EXPECT_EQ(sim_->wr16(tp(in) + 0x02), 0) << in;
        EXPECT_EQ(sim_->wr16(tp(in) + 0x10), 0) << in;
        EXPECT_EQ(sim_->wr16(tp(in) + 0x0E), 0) << in;
    }
}
