// m30paramprint as a user runs it: dump files of every block type written
// into a scratch directory, the program started on them, its standard
// output compared with the committed texts and its exit status checked.
#include "encode_ops.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace m30test;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

class ParamPrint : public testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/m30pp.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        const char *build = std::getenv("KD_BUILD_DIR");
        ASSERT_NE(build, nullptr) << "KD_BUILD_DIR is set by ctest";
        exe_ = std::string(build) + "/bin/m30paramprint";
        ASSERT_EQ(access(exe_.c_str(), X_OK), 0) << exe_;
    }
    void TearDown() override
    {
        if (!dir_.empty())
            std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    void write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        std::string path = dir_ + "/" + name;
        std::string parent = path.substr(0, path.rfind('/'));
        std::system(("mkdir -p '" + parent + "'").c_str());
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }

    // Runs the program in the scratch directory, so the file names it
    // prints are the relative names given here.
    Outcome run(const std::string &args)
    {
        std::string cmd = "cd '" + dir_ + "' && '" + exe_ + "' " + args + " 2>stderr.txt";
        FILE *p = popen(cmd.c_str(), "r");
        Outcome r{-1, "", ""};
        if (!p)
            return r;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.err = read_file(dir_ + "/stderr.txt");
        return r;
    }

    std::string dir_, exe_;
};

const std::string expected_dir = M30_TEST_DIR "/expected/m30paramprint/";

// Every block's default image under its dump name.
std::vector<std::pair<std::string, std::vector<uint8_t>>> dumps()
{
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    auto add = [&](const std::vector<BlockOps> &blocks) {
        for (const auto &o : blocks) {
            Block b = hold(o, o.make_default());
            std::string tag = o.name.substr(0, o.name.size() - 5); // drop "param"
            out.emplace_back("kerrow_" + tag + "param_0.bin", pack(o, b.get()));
        }
    };
    add(encode_blocks());
    add(all_blocks());
    return out;
}

} // namespace

TEST_F(ParamPrint, PrintsADumpOfEveryBlockType)
{
    auto all = dumps();
    ASSERT_EQ(all.size(), 23u);
    for (const auto &[name, img] : all) {
        SCOPED_TRACE(name);
        write(name, img);
        Outcome r = run(name);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::string want = read_file(expected_dir + name.substr(0, name.size() - 4) + ".txt");
        ASSERT_FALSE(want.empty());
        EXPECT_EQ(r.out, want);
    }
}

TEST_F(ParamPrint, TypeComesFromTheBlockNameInTheBaseName)
{
    auto all = dumps();
    auto image_of = [&](const std::string &tag) {
        for (const auto &[name, img] : all)
            if (name == "kerrow_" + tag + "param_0.bin")
                return img;
        return std::vector<uint8_t>{};
    };
    struct Case {
        std::string file, type;
        size_t checks;
    };
    // "aiparam" is AI although AIP is tried before it; a directory's name
    // (vital holds "vi") never decides; case does not matter; a name that
    // is not a dump's is matched against the type names themselves.
    for (const Case &c : {Case{"kerrow_aiparam_1.bin", "AI", 13}, Case{"vital/kerrow_dmxparam_0.bin", "DMX", 17},
                          Case{"KERROW_VINPARAM_2.BIN", "VIN", 1}, Case{"kerrow_cparam_0.bin", "CP", 15},
                          Case{"kerrow_dparam_3.bin", "D", 23}, Case{"kerrow_vdparam_0.bin", "VD", 18},
                          Case{"vd_block.bin", "VD", 18}, Case{"vital/Cp.bin", "CP", 15},
                          Case{"my_ai.bin", "AI", 13}}) {
        SCOPED_TRACE(c.file);
        std::string tag = c.type == "CP" ? "c" : c.type;
        for (char &ch : tag)
            ch = char(std::tolower(ch));
        write(c.file, image_of(tag));
        Outcome r = run(c.file);
        EXPECT_EQ(r.status, 0);
        size_t checks = 0, at = 0;
        while ((at = r.out.find("Check type '", at)) != std::string::npos)
            ++checks, ++at;
        EXPECT_EQ(checks, c.checks);
        EXPECT_NE(r.out.find("  TYPE is " + c.type + ":\n  FILENAME is " + c.file + ":\n" + tag + "param:\n"),
                  std::string::npos)
            << r.out;
    }
}

TEST_F(ParamPrint, TypeOption)
{
    auto all = dumps();
    write("block.bin", all[0].second); // EH image under a neutral name
    struct Case {
        std::string args, type;
        int status;
        std::string err;
    };
    for (const Case &c : {Case{"--type EH block.bin", "EH", 0, ""}, Case{"--type=EHX block.bin", "EH", 0, ""},
                          Case{"--type VINX block.bin", "VIN", 0, ""},
                          // Not a type: the file name decides, and says nothing here.
                          Case{"--type eh block.bin", "", 1, "Could not determine type for 'block.bin'. Exiting.\n"}}) {
        SCOPED_TRACE(c.args);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (!c.type.empty()) {
            EXPECT_EQ(r.out.rfind("Options summary:\n  TYPE is " + c.type + ":\n", 0), 0u) << r.out;
        }
    }
}

TEST_F(ParamPrint, FileSizes)
{
    auto all = dumps();
    const auto &mu = all[12];
    ASSERT_EQ(mu.first, "kerrow_muparam_0.bin");
    std::string want = read_file(expected_dir + "kerrow_muparam_0.txt");

    // Longer than the largest block: the first 1024 bytes are printed.
    std::vector<uint8_t> longer = mu.second;
    longer.resize(4000, 0xFF);
    write(mu.first, longer);
    Outcome r = run(mu.first);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want);

    // 64 bytes are enough; 63 are refused.
    std::vector<uint8_t> vin = all[4].second;
    ASSERT_EQ(vin.size(), 64u);
    write("kerrow_vinparam_0.bin", vin);
    EXPECT_EQ(run("kerrow_vinparam_0.bin").status, 0);
    vin.pop_back();
    write("kerrow_vinparam_0.bin", vin);
    r = run("kerrow_vinparam_0.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "File kerrow_vinparam_0.bin is too small - 63 bytes! Exiting.\n");
    EXPECT_EQ(r.out.find("vinparam:"), std::string::npos);

    write("kerrow_aeparam_0.bin", {});
    r = run("kerrow_aeparam_0.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "File kerrow_aeparam_0.bin is too small - 0 bytes! Exiting.\n");

    // A directory is named as what it is, not as a file of 0 bytes.
    std::filesystem::create_directory(dir_ + "/kerrow_eaparam_0.bin");
    r = run("kerrow_eaparam_0.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not read kerrow_eaparam_0.bin: Is a directory! Exiting.\n");
}

TEST_F(ParamPrint, CommandLineErrorsAndHelp)
{
    const std::string usage =
        "M30 parameter bin file pretty printer\n\nm30paramprint [--type|t TYPE] FILENAME\n\n"
        "  -t --type TYPE  Specify param type has value: CP, VI, VIN, VA, EH, MU, etc..\n\n"
        "NOTE: If type is not specified, the type is determined by presence of above patterns in FILENAME\n";
    struct Case {
        std::string args;
        int status;
        std::string out_prefix, err;
    };
    for (const Case &c : {Case{"--help", 0, usage, ""}, Case{"--help kerrow_cparam_0.bin", 0, usage, ""},
                          Case{"", 1, "", "No FILENAME provided! Exiting.\n"},
                          Case{"--type CP", 1, "", "No FILENAME provided! Exiting.\n"},
                          Case{"-t CP kerrow_cparam_0.bin", 1, usage, ""},
                          Case{"--bogus kerrow_cparam_0.bin", 1, usage, ""},
                          Case{"kerrow_nothing.bin", 1, "", "Could not determine type for 'kerrow_nothing.bin'. Exiting.\n"},
                          // "missing" holds "si": the type is found, the file is not.
                          Case{"kerrow_missing.bin", 1, "", "Could not open kerrow_missing.bin for reading! Exiting.\n"},
                          Case{"kerrow_muparam_9.bin", 1, "", "Could not open kerrow_muparam_9.bin for reading! Exiting.\n"}}) {
        SCOPED_TRACE(c.args);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.rfind(c.out_prefix, 0), 0u) << r.out;
        if (c.out_prefix == usage) {
            EXPECT_EQ(r.out, usage);
        }
        // getopt's own complaint about an unknown option may precede ours.
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}
