#include "tests/ui/ui_fixture.h"

#include "browsers/browserhosts.h"
#include "core/pending.h"
#include "handoff/nativehost.h"
#include "settings/registry.h"
#include "store/regstore.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

using moontest::readFile;

std::string frame(std::string_view payload, int64_t announced = -1)
{
    const auto length = uint32_t(announced < 0 ? int64_t(payload.size()) : announced);
    return std::string(reinterpret_cast<const char*>(&length), sizeof length).append(payload);
}

class BrowserHost : public moontest::Sandbox {
protected:
    // Settings without a first-start dialog, downloads into "dl"; nginx serves a.zip, c.zip only
    // with the cookie "s=1", and a page that sets that cookie.
    void SetUp() override
    {
        Sandbox::SetUp();
        ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);
        std::filesystem::create_directory("dl");
        ASSERT_EQ(Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, path("dl").c_str()),
                  REG_OK);
        nginx = std::make_unique<moontest::NginxServer>(path("nginx"));
        for (const char* name : {"a.zip", "c.zip"})
            nginx->makeFile(name, 6000);
        nginx->addConfig(R"(location = /c.zip { if ($http_cookie != "s=1") { return 403; } })");
        nginx->addConfig(R"(location = /page.html { default_type text/html; add_header Set-Cookie "s=1"; return 200; })");
        ASSERT_TRUE(nginx->start());
    }
    // Waits until the copy of the data folder has queried each of names, then ends it.
    void expectQueriedAndEndCopy(const std::vector<std::string>& names)
    {
        const std::string folder = path("data/moonfetch/");
        EXPECT_TRUE(moontest::waitFor([&] {
            const std::string list = readFile(folder + PENDING_FILE);
            for (const std::string& name : names)
                if (list.find(nginx->url(name) + "\n" + path("dl/" + name) + "\n6000") == std::string::npos)
                    return false;
            return true;
        })) << readFile(folder + PENDING_FILE);
        endCopy();
    }
    // Ends the copy of the data folder as the desktop's end of the session would.
    void endCopy()
    {
        const pid_t copy = std::atoi(readFile(path("data/moonfetch/moonfch_lock.txt")).c_str());
        ASSERT_GT(copy, 0);
        ::kill(copy, SIGTERM);
        EXPECT_TRUE(moontest::waitFor([&] {
            const std::string stat = readFile("/proc/" + std::to_string(copy) + "/stat");
            return stat.empty() || stat.find(") Z ") != std::string::npos;
        }));
    }
    std::unique_ptr<moontest::NginxServer> nginx;
};

// The host as a browser runs it, fed whole messages, a refused one, 10,000 links and a cut
// frame, or with nobody reading its answers: the good links reach the copy that it starts.
TEST_F(BrowserHost, HandsTheGoodLinksToTheCopyItStartsOrIsToldThatItWaitsAndAnswersEveryFrameUntilItsPipesEnd)
{
    const std::string refused = R"({"added":false,"reason":"Badly formatted URL, or not a file!"})";
    std::string pages = R"({"links":[)";
    for (int k = 0; k < 10000; ++k)
        pages += (k ? ",{\"url\":\"http://h/" : "{\"url\":\"http://h/") + std::to_string(k) + ".html\"}";
    const std::string good = "{\"links\":[{\"url\":\"" + nginx->url("a.zip") + "\"},{\"url\":\"" + nginx->url("c.zip") +
                             "\",\"referrer\":\"" + nginx->url("") + R"(","cookieHeader":"s=1"},)" +
                             R"({"url":"http://h/folder/"},{"url":"http://h/nul\u0000.zip"},)" +
                             R"({"url":"http://h/line\nfeed.zip"},{"url":"http://h/)" + std::string(2049, 'x') + "\"}]}";
    struct Row { const char* name; std::string input, output, exitCode; std::vector<std::string> answers; };
    const Row rows[] = {
        {"every kind of frame", frame(good) + frame("{") + frame(pages + "]}") + frame("{}", 40), "> out", "1\n",
         {R"({"added":2,"refused":4,"omitted":0,"results":[{"added":true},{"added":true},)" + refused + "," + refused +
              "," + refused + "," + refused,
          R"({"error":"The message is not valid JSON."})", R"({"added":0,"refused":10000,"omitted":0,"results":[)" + refused,
          R"({"error":"The message ends before its announced length."})"}},
        {"nobody reads the answers", frame(R"({"links":[]})") + frame("{}"), "| true", "0\n", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        moontest::writeFile("in", row.input);
        const std::string host = "rm -f out; { '" MOON_PROGRAM "' --native-host < in; echo $? > rc; } " + row.output;
        ASSERT_EQ(std::system(host.c_str()), 0);
        EXPECT_EQ(readFile("rc"), row.exitCode);
        std::vector<std::string> answers;
        const int out = open("out", O_RDONLY);
        for (std::string answer; Native_ReadFrame(out, &answer) == NATIVE_FRAME;)
            answers.push_back(answers.size() < row.answers.size() ? answer.substr(0, row.answers[answers.size()].size())
                                                                  : answer);
        close(out);
        EXPECT_EQ(answers, row.answers);
    }
    expectQueriedAndEndCopy({"a.zip", "c.zip"});

    // A copy that the host starts anew waits in its first-start dialog: each message is told so rather
    // than that Moonfetch is not running, and nothing of it is added once the person is done.
    std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
    const std::string message = frame(R"({"links":[{"url":")" + nginx->url("b.zip") + R"("}]})");
    moontest::writeFile("in", message + message);
    ASSERT_EQ(std::system("'" MOON_PROGRAM "' --native-host < in > out"), 0);
    const std::string waits = R"({"added":0,"refused":1,"omitted":0,"results":[{"added":false,)"
                              R"("reason":"Moonfetch is waiting for you"}]})";
    std::vector<std::string> answers;
    const int out = open("out", O_RDONLY);
    for (std::string answer; Native_ReadFrame(out, &answer) == NATIVE_FRAME;)
        answers.push_back(answer);
    close(out);
    EXPECT_EQ(answers, std::vector<std::string>(2, waits));
    endCopy();
    EXPECT_EQ(readFile(path("data/moonfetch/") + PENDING_FILE).find("b.zip"), std::string::npos);
}

// The extension in Chromium: its menu action on a link of a page that set a cookie ends with the
// link queried with that cookie by the copy that the host, which the browser started, started.
TEST_F(BrowserHost, ChromiumHandsALinkOfAPageWithThePagesCookie)
{
    if (!std::filesystem::exists("/usr/bin/chromium") || !std::filesystem::exists(MOON_PUPPETEER))
        GTEST_SKIP() << "needs Debian's chromium and puppeteer-core in " MOON_PUPPETEER;
    std::filesystem::create_directories("profile/NativeMessagingHosts");
    moontest::writeFile("profile/NativeMessagingHosts/com.larkvale.moonfetch.json",
                        Browser_HostManifest(false, MOON_PROGRAM));
    const std::string command = "NODE_PATH='" MOON_PUPPETEER "/..' node '" MOON_SOURCE "/tests/ui/chromium_menu.js' '"
                                MOON_SOURCE "/browser/extension' '" + path("profile") + "' '" + nginx->url("page.html") +
                                "' '" + nginx->url("c.zip") + "' > told.txt";
    ASSERT_EQ(std::system(("timeout 120 sh -c \"" + command + "\"").c_str()), 0) << readFile("told.txt");
    EXPECT_EQ(readFile("told.txt"), "Added: " + nginx->url("c.zip") + "\n");
    expectQueriedAndEndCopy({"c.zip"});
}

}  // namespace
