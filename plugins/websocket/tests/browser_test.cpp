// Headless chromium on the stand-in web application: the page loads from
// "/", opens "sv-ws", shows a search, sets a value and shows it pushed back;
// ill-formed UTF-8 in a value does not cost the connection. In a network
// namespace of the test's own, as root, when chromium is installed.
#include "ws_fixture.h"
#include "ws_netns.h"

#include <filesystem>
#include <fstream>

namespace {

using namespace wstest;
namespace fs = std::filesystem;

const char *chromium()
{
    for (const char *p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(p, X_OK) == 0)
            return p;
    return nullptr;
}

class Browser : public WsFixture {
protected:
    void SetUp() override
    {
        if (!chromium())
            GTEST_SKIP() << "chromium is not installed";
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace";
        net_ = std::make_unique<OwnNetwork>();
        if (!net_->ok())
            GTEST_SKIP() << "cannot make a network namespace";
        WsFixture::SetUp();
        const fs::path app = fs::path(std::getenv("KD_SOURCE_DIR")) / "sim/webapp";
        fs::create_directories(root_ / "usr/local/share/zwsui");
        fs::copy(app, root_ / "usr/local/share/zwsui", fs::copy_options::recursive);
    }
    void TearDown() override
    {
        if (net_ && net_->ok())
            WsFixture::TearDown();
        net_.reset();
    }

    // The page's DOM once its script has run (from the client thread).
    // Virtual time does not wait for websocket traffic, so a dump taken
    // before the page finished its exchange is taken again (a few times).
    std::string dump(const std::string &hash, const std::string &done_when)
    {
        std::string dom;
        for (int attempt = 0; attempt < 5; ++attempt) {
            dom = dump_once(hash);
            if (dom.find(done_when) != std::string::npos)
                break;
        }
        return dom;
    }
    std::string dump_once(const std::string &hash)
    {
        const std::string cmd = std::string(chromium()) +
                                " --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir=" +
                                (root_ / "chromium") + " --virtual-time-budget=5000 --dump-dom 'http://127.0.0.1:" +
                                std::to_string(port_) + "/#" + hash + "' 2>/dev/null";
        return output_of(cmd);
    }
    std::unique_ptr<OwnNetwork> net_;
};

// The table row the page shows for a route ("" when none).
std::string row(const std::string &dom, const std::string &route)
{
    const size_t at = dom.find("<td>" + route + "</td>");
    if (at == std::string::npos)
        return "";
    return dom.substr(at, dom.find("</tr>", at) - at);
}

TEST_F(Browser, PageSearchesSetsAndSeesTheChangePushed)
{
    drive([&] {
        const std::string dom = dump("login=admin:lorv582&search=probe/*&set=probe/mode%20Auto", "<td>Auto</td>");
        EXPECT_NE(dom.find("<p id=\"state\">connected</p>"), std::string::npos) << dom;
        EXPECT_NE(row(dom, "probe/level").find("<td>Number</td><td>0</td>"), std::string::npos) << dom;
        EXPECT_NE(row(dom, "probe/mode").find("<td>Auto</td>"), std::string::npos) << dom;
        EXPECT_NE(row(dom, "probe/secret").find("(write-only)"), std::string::npos) << dom;
        // "JS Files" named the dynamic script, and the page loaded it.
        EXPECT_NE(dom.find("<title>Card parameters (stand-in)</title>"), std::string::npos);
        EXPECT_NE(dom.find("<span id=\"access\">Operator</span>"), std::string::npos);
        EXPECT_EQ(on_loop([] { return probe::current().mode; }), "Auto");
    });
}

TEST_F(Browser, IllFormedTextKeepsTheConnection)
{
    drive([&] {
        on_loop([] {
            probe::current().text = "bad \xFF\xFE byte, \"quoted\" <b>";
            return 0;
        });
        const std::string dom = dump("search=probe/t*", "<td>probe/text</td>");
        EXPECT_NE(dom.find("<p id=\"state\">connected</p>"), std::string::npos) << dom;
        EXPECT_NE(row(dom, "probe/text").find("bad \xEF\xBF\xBD\xEF\xBF\xBD byte, \"quoted\" &lt;b&gt;"),
                  std::string::npos)
            << dom;
    });
}

TEST_F(Browser, PageLogsInAndUploads)
{
    fs::create_directories(root_ / "media/hd0/media");
    drive([&] {
        const std::string dom = dump("login=admin:lorv582&upload=notes.txt:hello%20card", "notes.txt: 200");
        EXPECT_NE(dom.find("<span id=\"uploaded\">notes.txt: 200</span>"), std::string::npos) << dom;
        std::ifstream in(root_ / "media/hd0/media/notes.txt");
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "hello card");
    });
}

} // namespace
