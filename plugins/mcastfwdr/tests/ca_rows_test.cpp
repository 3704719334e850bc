// CA sessions and their receiver keys as a client sees them: session rows,
// key imports from the upload directory, revocation through the idle pass,
// and the key files that carry the keys across restarts.
#include "param_fixture.h"
#include "test_keys.h"

#include "cfg/ca_key_table.h"

#include <kerrow/store.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using mcftest::calls_t;

class CaRows : public mcftest::ParamTest {
protected:
    void SetUp() override
    {
        ParamTest::SetUp();
        fs::create_directories(upload_dir());
        ASSERT_FALSE(mcftest::rsa_keys().empty()) << "openssl genpkey made no key";
    }

    fs::path upload_dir() const { return fs::path(root_.path()) / "media/hd0/media"; }
    fs::path key_file(int id) const
    {
        return fs::path(root_.path()) / ("var/local/solvera/ca_keys_" + std::to_string(id) + ".pub.csv");
    }
    static std::string route(int session, const std::string &key)
    {
        return "mcastfwdr/rules/ca_sessions/ca_session_" + std::to_string(session) + "/" + key;
    }
    static std::string key_route(int session, unsigned key, const char *leaf)
    {
        return route(session, "entitlements/ca_key_" + std::to_string(key) + "/" + leaf);
    }
    // A session added as a client does it (the newest record).
    cfg_ca *add_session()
    {
        EXPECT_EQ(set("mcastfwdr/add_ca_session", "Yes"), PARAM_SET_SUCCESS);
        cfg_ca *last = nullptr;
        for (cfg_ca &c : mcf::records<cfg_ca>(mcf_cfg.ca_sessions))
            last = &c;
        return last;
    }
    void upload(const std::string &name, const std::string &text) const
    {
        std::ofstream(upload_dir() / name, std::ios::binary) << text;
    }
    static std::vector<std::string> key_ids(const cfg_ca &ca)
    {
        std::vector<std::string> ids;
        for (const ca_key_entry &e : mcf::records<ca_key_entry>(ca.biss2ca_rxrs->entries))
            ids.emplace_back(e.key_id_str);
        return ids;
    }
    static std::vector<std::string> rsa_ids(size_t n)
    {
        std::vector<std::string> ids;
        for (size_t i = 0; i < n; ++i)
            ids.push_back(mcftest::rsa_keys().at(i).id_text);
        return ids;
    }
    static size_t rows(const cfg_ca &ca)
    {
        size_t n = 0;
        const size_t count = kd_param_list_count(ca.param_entitlements);
        for (size_t i = 0; i < count; ++i)
            n += kd_param_get_type(kd_param_list_index(ca.param_entitlements, int(i))) != PARAMTYPE_NONE;
        return n;
    }
    // The PEM texts of a key file.
    static std::vector<std::string> pems_in(const std::string &text)
    {
        std::vector<std::string> out;
        size_t at = 0;
        while ((at = text.find('"', at)) != std::string::npos) {
            const size_t end = text.find('"', at + 1);
            if (end == std::string::npos)
                break;
            out.push_back(text.substr(at + 1, end - at - 1));
            at = end + 1;
        }
        return out;
    }
};

TEST_F(CaRows, SessionSettersRefuseOutOfRangeAndHandTheFlagsToTheOutputs)
{
    cfg_ca *ca = add_session();
    ASSERT_NE(ca, nullptr);
    EXPECT_EQ(value(route(0, "type")), "BISS2-CA");
    struct Case {
        const char *key, *text;
        param_set_result rc;
    } cases[] = {
        {"biss_ca_key_period", "0", PARAM_SET_FAILURE},   {"biss_ca_key_period", "121", PARAM_SET_FAILURE},
        {"biss_ca_key_period", "1", PARAM_SET_SUCCESS},   {"biss_ca_key_period", "120", PARAM_SET_SUCCESS},
        {"biss_ca_key_period", "601", PARAM_SET_FAILURE}, {"biss_ca_entitlement_session_id", "-1", PARAM_SET_SUCCESS},
        {"biss_ca_entitlement_session_id", "65536", PARAM_SET_FAILURE},
        {"biss_ca_emm_pid", "19", PARAM_SET_FAILURE},     {"biss_ca_emm_pid", "8192", PARAM_SET_FAILURE},
        {"biss_ca_ecm_pid", "8191", PARAM_SET_SUCCESS},   {"type", "BISS2-E", PARAM_SET_SUCCESS},
        {"type", "biss2-e", PARAM_SET_FAILURE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(set(route(0, c.key), c.text), c.rc) << c.key << " " << c.text;
    EXPECT_EQ(ca->biss2ca_key_period, 120u);
    EXPECT_EQ(ca->biss2ca_esid, -1);
    EXPECT_EQ(ca->biss2ca_emm_pid, 64u);
    EXPECT_EQ(ca->biss2ca_ecm_pid, 8191u);
    EXPECT_EQ(ca->type, ECRTYPE_BISS2_E);
    EXPECT_TRUE(calls().empty()) << "nothing reaches the outputs before the configuration is loaded";

    load();
    EXPECT_EQ(set(route(0, "insert_watermark"), "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "insert_watermark"), "Yes"), PARAM_SET_SUCCESS); // unchanged: nothing
    EXPECT_EQ(set(route(0, "prevent_decoded_forward"), "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "prevent_descrambled_forward"), "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "insert_watermark"), "No"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "biss_ca_entitlement_session_id"), "-1"), PARAM_SET_SUCCESS); // no unchanged test
    EXPECT_EQ(set(route(0, "biss_ca_ecm_pid"), "100"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "biss_ca_key_period"), "30"), PARAM_SET_SUCCESS); // read at the next key change
    EXPECT_EQ(calls(), (calls_t{"ca flags 0 32", "ca flags 0 96", "ca flags 0 224", "ca flags 0 192",
                                             "ca tables 0", "ca tables 0"}));
    EXPECT_EQ(log_.count("CA session 0 insert watermark (Yes)"), 1);
    EXPECT_EQ(log_.count("Restarting outputs to get CA session 0 ESID"), 1);
    EXPECT_EQ(log_.count("Restarting outputs to get CA session 0 ECM PID"), 1);
}

TEST_F(CaRows, ImportedKeysGetOneRowEachWithTheirIdAndOneKeyFileWrite)
{
    const auto &keys = mcftest::rsa_keys();
    // Both PEM forms of the RSA keys, the file's own names and ids ignored.
    upload("rx.pub.csv", mcftest::csv_lines({keys[0].spki_pem, keys[1].pkcs1_pem, keys[2].spki_pem,
                                             keys[3].pkcs1_pem}, "other name"));
    cfg_ca *ca = add_session();
    load();
    fs::create_directories(key_file(0).parent_path());
    const int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_GE(inotify_add_watch(in, key_file(0).parent_path().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE), 0);

    ASSERT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "rx.pub.csv"), PARAM_SET_SUCCESS);
    EXPECT_EQ(key_ids(*ca), rsa_ids(4));
    ASSERT_EQ(rows(*ca), 4u);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(value(key_route(0, i, "id")), keys[i].id_text) << i;
        EXPECT_EQ(kd_param_get_label(kd_param_list_index(ca->param_entitlements, int(i))),
                  "CA Key " + std::to_string(i));
    }
    EXPECT_EQ(log_.count("CA session 0 start rx count 0"), 1);
    EXPECT_EQ(log_.count("CA session 0 end rx count 4"), 1);
    // Entitled on the outputs in table order, under the lock.
    calls_t want;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(ca->biss2ca_rxrs->entries))
        want.push_back("entitle 0 " + std::string(e.key_pem));
    EXPECT_EQ(calls(), want);

    // The key file was put in place once, whole.
    char events[4096];
    int moved = 0;
    for (ssize_t n; (n = read(in, events, sizeof events)) > 0;)
        for (char *p = events; p < events + n;) {
            auto *ev = reinterpret_cast<inotify_event *>(p);
            moved += (ev->mask & IN_MOVED_TO) && std::string(ev->name) == "ca_keys_0.pub.csv";
            p += sizeof(inotify_event) + ev->len;
        }
    close(in);
    EXPECT_EQ(moved, 1);
    const std::string file = mcftest::file_text(key_file(0));
    const std::vector<std::string> pems = pems_in(file);
    ASSERT_EQ(pems.size(), 4u);
    const fs::path one = fs::path(root_.path()) / "one.pem";
    for (size_t i = 0; i < pems.size(); ++i) {
        std::ofstream(one) << pems[i];
        EXPECT_EQ(std::system(("openssl pkey -pubin -noout -in " + one.string() + " 2>/dev/null").c_str()), 0) << i;
        EXPECT_EQ(mcftest::openssl_key_id(one.string()), keys[i].id_text) << i;
        EXPECT_NE(file.find("\"; rx.pub.csv; " + keys[i].id_text + "\n"), std::string::npos) << i;
    }

    // The same file again adds nothing: every key is already entitled.
    EXPECT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "rx.pub.csv"), PARAM_SET_FAILURE);
    EXPECT_EQ(rows(*ca), 4u);
    EXPECT_EQ(mcftest::file_text(key_file(0)), file);
}

TEST_F(CaRows, ImportReadsWholeLinesAndSkipsOverlongOnes)
{
    const auto &keys = mcftest::rsa_keys();
    // An overlong line between two good ones, and a last line without its line feed.
    std::string text = mcftest::csv_lines({keys[0].spki_pem});
    text += "\"" + std::string(20000, 'A') + "\"; long; x\n";
    text += mcftest::csv_lines({keys[1].spki_pem});
    text += "\"" + keys[2].spki_pem + "\"; last; 0000 0000 0000 0000";
    upload("mixed.pub.csv", text);
    cfg_ca *ca = add_session();
    ASSERT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "mixed.pub.csv"), PARAM_SET_SUCCESS);
    EXPECT_EQ(key_ids(*ca), rsa_ids(2));
    EXPECT_EQ(log_.count("line longer than 8192 bytes skipped"), 1);

    // A single PEM file, from the key directory.
    fs::create_directories(key_file(0).parent_path());
    std::ofstream(key_file(0).parent_path() / "single.pub.pem") << keys[3].pkcs1_pem;
    ASSERT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "/var/local/solvera/single.pub.pem"),
              PARAM_SET_SUCCESS);
    EXPECT_EQ(key_ids(*ca).back(), keys[3].id_text);
    EXPECT_STREQ(ca_key_table_get_entry_by_id(ca->biss2ca_rxrs, 2)->key_name, "single.pub.pem");
}

TEST_F(CaRows, ImportNamesAFileInTheUploadDirectoryOnly)
{
    const auto &keys = mcftest::rsa_keys();
    const std::string good = mcftest::csv_lines({keys[0].spki_pem});
    upload("ok.pub.csv", good);
    upload("keys.txt", good);
    fs::create_directories(upload_dir() / "sub");
    std::ofstream(upload_dir() / "sub/in.pub.csv") << good;
    fs::create_directories(upload_dir() / "dir.pub.csv");
    fs::create_symlink(upload_dir() / "ok.pub.csv", upload_dir() / "link.pub.csv");
    std::ofstream(fs::path(root_.path()) / "media/hd0/outside.pub.csv") << good;
    fs::create_directories(key_file(0).parent_path() / "deeper");
    std::ofstream(key_file(0).parent_path() / "deeper/k.pub.csv") << good;
    cfg_ca *ca = add_session();
    for (const char *bad : {"../outside.pub.csv", "sub/in.pub.csv", "keys.txt", "dir.pub.csv", "link.pub.csv",
                            "missing.pub.csv", "/media/hd0/media/ok.pub.csv", "/var/local/solvera/../hd0.pub.csv",
                            "/var/local/solvera/deeper/k.pub.csv", "..", ""}) {
        EXPECT_EQ(set(route(0, "biss_ca_receiver_keys_file"), bad), PARAM_SET_FAILURE) << bad;
        EXPECT_EQ(rows(*ca), 0u) << bad;
    }
    EXPECT_FALSE(fs::exists(key_file(0)));
    EXPECT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "ok.pub.csv"), PARAM_SET_SUCCESS);
    EXPECT_EQ(rows(*ca), 1u);
}

TEST_F(CaRows, EntitleReceiverRefusesLongDuplicateAndUnusableKeys)
{
    const auto &keys = mcftest::rsa_keys();
    cfg_ca *ca = add_session();
    EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), keys[0].pkcs1_pem.c_str()), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"entitle 0 " + keys[0].pkcs1_pem})) << "entitled also before loading";
    // The same key in the other form is the same key.
    EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), keys[0].spki_pem.c_str()), PARAM_SET_FAILURE);
    // A PEM that the decoder would read but that does not fit the table's 1023 characters.
    const std::string padded = std::string(1100, '#') + "\n" + keys[1].spki_pem;
    EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), padded.c_str()), PARAM_SET_FAILURE);
    EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), "not a key"), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("Failed to get keyid from pem"), 1);
    // Private key material is never kept, even beside a public key.
    const std::string both = mcftest::ec_private_and_public_pem();
    ASSERT_NE(both.find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), both.c_str()), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("CA session 0: failed to add key"), 4);
    EXPECT_EQ(key_ids(*ca), rsa_ids(1));
    EXPECT_EQ(pems_in(mcftest::file_text(key_file(0))), (std::vector<std::string>{keys[0].pkcs1_pem}));
}

// Private key material in the line ends and layouts a pasted text may have.
TEST_F(CaRows, PrivateKeysAreRefusedInAnyLayoutAndNoKeyFileIsWritten)
{
    // A pair of its own each: the public key first, so that an id can be
    // taken, then the private key.
    auto public_first = [] {
        const std::string both = mcftest::ec_private_and_public_pem();
        const size_t split = both.find("-----BEGIN PUBLIC KEY-----");
        return split == std::string::npos ? std::string() : both.substr(split) + both.substr(0, split);
    };
    std::string crlf;
    for (char c : public_first())
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string last = public_first();
    ASSERT_FALSE(last.empty() || crlf.empty());
    last.pop_back(); // ends at the private key's end marker
    cfg_ca *ca = add_session();
    for (const std::string &text : {crlf, last}) {
        log_.clear();
        EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), text.c_str()), PARAM_SET_FAILURE) << text;
        EXPECT_EQ(log_.count("Key refused: the text holds a private key"), 1) << text;
    }
    EXPECT_EQ(rows(*ca), 0u);
    EXPECT_FALSE(fs::exists(key_file(0)));
}

TEST_F(CaRows, TheTableHoldsThreeThousandKeys)
{
    const std::vector<std::string> pems = mcftest::ec_pems(CA_KEY_TABLE_MAX + 1);
    ASSERT_EQ(pems.size(), size_t(CA_KEY_TABLE_MAX + 1));
    upload("many.pub.csv", mcftest::csv_lines(pems));
    cfg_ca *ca = add_session();
    ASSERT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "many.pub.csv"), PARAM_SET_SUCCESS);
    EXPECT_EQ(ca_key_table_get_length(ca->biss2ca_rxrs), CA_KEY_TABLE_MAX);
    EXPECT_EQ(rows(*ca), size_t(CA_KEY_TABLE_MAX));
    EXPECT_EQ(set(route(0, "biss_ca_entitle_receiver"), pems.back().c_str()), PARAM_SET_FAILURE);
    EXPECT_EQ(pems_in(mcftest::file_text(key_file(0))).size(), size_t(CA_KEY_TABLE_MAX));
}

TEST_F(CaRows, RevokeRemovesTheRowAtTheNextIdlePass)
{
    const auto &keys = mcftest::rsa_keys();
    upload("two.pub.csv", mcftest::csv_lines({keys[0].spki_pem, keys[1].spki_pem}));
    cfg_ca *ca = add_session();
    ASSERT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "two.pub.csv"), PARAM_SET_SUCCESS);
    load();
    EXPECT_EQ(set(key_route(0, 0, "revoke"), "No"), PARAM_SET_FAILURE);
    ASSERT_EQ(set(key_route(0, 0, "revoke"), "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(rows(*ca), 2u) << "the row outlives its own set";
    ASSERT_EQ(set(key_route(0, 0, "revoke"), "Yes"), PARAM_SET_SUCCESS); // a second "Yes" before the pass
    EXPECT_EQ(calls(), (calls_t{"revoke 0 " + keys[0].spki_pem, "revoke 0 " + keys[0].spki_pem}));
    EXPECT_EQ(log_.count("CA session 0: Updating active outputs"), 2);
    ASSERT_TRUE(mcftest::run_loop_until([&] { return rows(*ca) == 1; }));
    EXPECT_EQ(log_.count("CA session 0: revoking key " + keys[0].id_text), 1);
    EXPECT_EQ(key_ids(*ca), (std::vector<std::string>{keys[1].id_text}));
    EXPECT_EQ(value(key_route(0, 1, "id")), keys[1].id_text);
    EXPECT_EQ(pems_in(mcftest::file_text(key_file(0))), (std::vector<std::string>{keys[1].spki_pem}));

    // Revoked, then the session removed before the pass.
    ASSERT_EQ(set(key_route(0, 1, "revoke"), "Yes"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set("mcastfwdr/rem_ca_session", "0"), PARAM_SET_SUCCESS);
    bool passed = false;
    kd_frame_idle_register(&passed, [](void *p) { *static_cast<bool *>(p) = true; });
    ASSERT_TRUE(mcftest::run_loop_until([&] { return passed; }));
    EXPECT_EQ(mcfcfg_ca_session_find_by_id(0), nullptr);
    EXPECT_EQ(log_.count("revoking key " + keys[1].id_text), 0);
}

TEST_F(CaRows, RemovingASessionTakesItsKeyFileAndStoredValues)
{
    const auto &keys = mcftest::rsa_keys();
    add_session();
    add_session();
    char *ids = nullptr;
    ASSERT_EQ(kd_store_load_string(pli_, "mcastfwdr/ca_session_ids", &ids), 0);
    EXPECT_STREQ(ids, "0,1");
    std::free(ids);
    ASSERT_EQ(set(route(0, "biss_ca_entitle_receiver"), keys[0].spki_pem.c_str()), PARAM_SET_SUCCESS);
    ASSERT_TRUE(fs::exists(key_file(0)));
    kd_store_save_string(pli_, route(0, "biss_ca_key_period").c_str(), "60");
    load();

    EXPECT_EQ(set("mcastfwdr/rem_ca_session", "2"), PARAM_SET_FAILURE);
    ASSERT_EQ(set("mcastfwdr/rem_ca_session", "0"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(key_file(0)));
    EXPECT_EQ(kd_store_test_key(pli_, route(0, "biss_ca_key_period").c_str()), 0);
    EXPECT_EQ(calls(), (calls_t{"ca tables 0"}));
    ASSERT_EQ(kd_store_load_string(pli_, "mcastfwdr/ca_session_ids", &ids), 0);
    EXPECT_STREQ(ids, "1");
    std::free(ids);
    // A new session with the old id starts without keys.
    cfg_ca *again = add_session();
    ASSERT_EQ(again->id, 0);
    EXPECT_EQ(cfg_ca_load_keys(again), 0);
    EXPECT_EQ(rows(*again), 0u);
}

TEST_F(CaRows, ReloadBringsTheKeysBackWithoutNames)
{
    const auto &keys = mcftest::rsa_keys();
    upload("rx.pub.csv", mcftest::csv_lines({keys[0].spki_pem, keys[1].pkcs1_pem}));
    cfg_ca *ca = add_session();
    ASSERT_EQ(set(route(0, "biss_ca_receiver_keys_file"), "rx.pub.csv"), PARAM_SET_SUCCESS);
    // A restart: the record and its row go, the key file stays.
    kd_param_list_delete_children(mcf_cfg.tbl_ca_sessions);
    mcfcfg_remove_ca_session(ca);
    cfg_ca *back = mcfcfg_add_ca_session(0);
    mcastfwdr_allocate_rule_ca_session(mcf_cfg.tbl_ca_sessions, back);
    ASSERT_EQ(cfg_ca_load_keys(back), 0);
    EXPECT_EQ(key_ids(*back), rsa_ids(2));
    EXPECT_EQ(value(key_route(0, 1, "id")), keys[1].id_text);
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(back->biss2ca_rxrs->entries))
        EXPECT_STREQ(e.key_name, "");
    EXPECT_EQ(mcftest::file_text(key_file(0)).find("rx.pub.csv"), std::string::npos);
}

TEST_F(CaRows, ADamagedKeyFileIsSetAsideNotOverwritten)
{
    const auto &keys = mcftest::rsa_keys();
    fs::create_directories(key_file(3).parent_path());
    // A key file cut in the middle of its second line.
    const std::string whole = mcftest::csv_lines({keys[0].spki_pem, keys[1].spki_pem});
    const std::string cut = whole.substr(0, whole.size() - 200);
    std::ofstream(key_file(3), std::ios::binary) << cut;
    cfg_ca *ca = mcfcfg_add_ca_session(3);
    mcastfwdr_allocate_rule_ca_session(mcf_cfg.tbl_ca_sessions, ca);
    EXPECT_EQ(cfg_ca_load_keys(ca), 0);
    EXPECT_EQ(key_ids(*ca), rsa_ids(1));
    EXPECT_EQ(log_.count("CA session 3: key file /var/local/solvera/ca_keys_3.pub.csv is damaged, set aside as "
                         "ca_keys_3.pub.csv.damaged-"), 1);
    std::vector<fs::path> aside;
    for (const auto &e : fs::directory_iterator(key_file(3).parent_path()))
        if (e.path().filename().string().starts_with("ca_keys_3.pub.csv.damaged-"))
            aside.push_back(e.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(mcftest::file_text(aside[0]), cut);
    EXPECT_EQ(pems_in(mcftest::file_text(key_file(3))), (std::vector<std::string>{keys[0].spki_pem}));

    // A file that is not a key file at all.
    std::ofstream(key_file(4), std::ios::binary) << std::string("\0\1\2", 3);
    cfg_ca *other = mcfcfg_add_ca_session(4);
    EXPECT_EQ(cfg_ca_load_keys(other), -1);
    EXPECT_FALSE(fs::exists(key_file(4)));
    EXPECT_EQ(log_.count("CA session 4: key file /var/local/solvera/ca_keys_4.pub.csv is damaged"), 1);
}

// The key file is replaced whole: a writer killed at any point leaves one
// generation or the other, never a mix or a part.
TEST_F(CaRows, AWriterKilledMidRewriteLeavesAWholeKeyFile)
{
    cfg_ca *ca = mcfcfg_add_ca_session(5);
    ca_key_table *own = ca->biss2ca_rxrs;
    ca_key_table *gen[2] = {ca_key_table_ctor(), ca_key_table_ctor()};
    const std::vector<std::string> pems = mcftest::ec_pems(300);
    for (size_t i = 0; i < pems.size(); ++i) {
        ca_key_table_push(gen[1], "b", pems[i].c_str());
        if (i < 200)
            ca_key_table_push(gen[0], "a", pems[i].c_str());
    }
    std::string text[2];
    for (int g = 0; g < 2; ++g) {
        ca->biss2ca_rxrs = gen[g];
        ASSERT_EQ(cfg_ca_store_keys(ca), 0);
        text[g] = mcftest::file_text(key_file(5));
    }
    for (int round = 0; round < 40; ++round) {
        int done[2];
        ASSERT_EQ(pipe(done), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(done[0]);
            for (unsigned i = 0;; ++i) {
                ca->biss2ca_rxrs = gen[i % 2];
                cfg_ca_store_keys(ca);
                if (write(done[1], "w", 1) != 1)
                    _exit(1);
            }
        }
        close(done[1]);
        // Killed somewhere in its next rewrites, after a few whole ones.
        char c;
        for (int n = 0; n < 1 + round % 3 && read(done[0], &c, 1) == 1; ++n) {
        }
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        close(done[0]);
        const std::string now = mcftest::file_text(key_file(5));
        ASSERT_TRUE(now == text[0] || now == text[1]) << "round " << round << ": " << now.size() << " bytes";
    }
    // And it reads back whole.
    ca->biss2ca_rxrs = own;
    ASSERT_EQ(cfg_ca_load_keys(ca), 0);
    const int n = ca_key_table_get_length(ca->biss2ca_rxrs);
    EXPECT_TRUE(n == 200 || n == 300) << n;
    EXPECT_EQ(log_.count("damaged"), 0);
    ca_key_table_dtor(gen[0]);
    ca_key_table_dtor(gen[1]);
}

} // namespace
