#include "tests/ui/ui_fixture.h"

#include "core/pending.h"
#include "core/segments.h"
#include "settings/registry.h"
#include "ui/dialogs/scheduledialog.h"

#include <chrono>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using moontest::readFile;

// The program's whole life in this process, its boxes answered by the test: should its main window
// come up, a helper window's timer closes it the way a person would.
LRESULT helperProc(HWND window, uint32_t message, WPARAM, LPARAM)
{
    if (message == WM_TIMER) {
        Win_KillTimer(window, 1);
        MQUI_WndProc(ui.hwndMain, WM_CLOSE, 0, 0);
    }
    return 0;
}

int runProgram()
{
    // An earlier test's main window may have left its quit waiting, as WM_QUIT waits in a
    // thread's queue: the next loop would end at once. Take it first.
    Win_PostQuitMessage(0);
    Win_RunMessageLoop();
    const WinMainTemplate helper = {"Moonfetch test helper", "", "", nullptr, 0, nullptr, 0,
                                    helperProc};
    HWND window = Win_CreateMainWindow(helper);
    Win_SetTimer(window, 1, 300);
    ui = UiState{};
    ui.listTop = 10;
    ui.visibleRows = 5;
    static char name[] = "moonfetch";
    char* argv[] = {name, nullptr};
    int exitCode = MQUI_Main(1, argv);
    Win_DestroyWindow(window);
    return exitCode;
}

class ShellStart : public moontest::Sandbox {};

int runToEnd(std::vector<std::string> arguments, const std::string& input = "");

TEST_F(ShellStart, ASecondCopyBesideAHungOneIsRefusedWithItsPidAndEndOfSessionSignalsCloseAsExitDoes)
{
    ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);   // no first-start dialog
    const std::string item = "http://h/a.zip\n" + path("a.zip") + "\n5000\n";
    WinModalQueue modals;
    modals.answers = {Win_Answer(IDOK)};
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        moontest::writeFile("a.zip", "");   // the item's placeholder
        moontest::writeFile(PENDING_FILE, "saved\n" + item);
        std::filesystem::remove("moonfch_log.txt");
        moontest::ProgramProcess program;
        ASSERT_TRUE(moontest::waitFor(
            [] { return readFile("moonfch_log.txt").find("Options, allowHTML") != std::string::npos; }));
        if (signal == SIGTERM) {   // a second copy beside a hung first touches no file of it
            const std::string log = readFile("moonfch_log.txt");
            ::kill(program.pid(), SIGSTOP);
            EXPECT_EQ(runProgram(), 1);
            // With a link it may be a script's: told on standard error, no box, and the link is
            // not added when the copy wakes.
            EXPECT_EQ(runToEnd({MOON_PROGRAM, "http://h/late.zip"}), 1);
            EXPECT_EQ(readFile("errors.txt"), "moonfetch: " + modals.seen.back().substr(24) + "\n");
            ::kill(program.pid(), SIGCONT);
            EXPECT_EQ(runToEnd({MOON_PROGRAM, "--list"}), 0);
            EXPECT_EQ(readFile("out.txt").find("late.zip"), std::string::npos);
            EXPECT_EQ(modals.seen, std::vector<std::string>{"box Error in Moonfetch: Moonfetch is already running in "
                                                            "this folder. Its process " +
                                                            std::to_string(program.pid()) + " does not answer."});
            EXPECT_EQ(std::tuple(readFile("moonfch_log.txt"), readFile(PENDING_FILE), std::filesystem::exists("a.zip")),
                      std::tuple(log, "saved\n" + item, true));
        }
        EXPECT_EQ(program.stop(signal), 0);
        EXPECT_EQ(readFile(PENDING_FILE), "1.2, Moonfetch pending URL list for internal use.\n" + item);
        EXPECT_FALSE(std::filesystem::exists("a.zip"));   // an empty placeholder goes
    }
    // Nor does a copy whose lock file is a link, which it never follows.
    std::filesystem::remove("moonfch_lock.txt");
    std::filesystem::create_symlink(path("a.zip"), "moonfch_lock.txt");
    modals.answers = {Win_Answer(IDOK)};
    EXPECT_EQ(runProgram(), 1);
    EXPECT_EQ(modals.seen.back(), "box Error in Moonfetch: The lock file moonfch_lock.txt in this folder is a "
                                  "symbolic link. Moonfetch does not follow it; remove the link to start Moonfetch here.");
}

// Over one connection (the file names no version) and over several: the next start asks only for what the
// list says is missing.
TEST_F(ShellStart, DownloadOfAKilledProgramContinuesAtTheNextStart)
{
    const uint64_t size = 8 << 20;
    // The connections chosen (several only for a file with a version), and the field the kill waits for.
    const struct { int32_t connections; const char* recorded; } cases[] = {{1, "\tpart="}, {4, "\tdone="}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.connections);
        ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_CONNECTIONS, c.connections);
        moontest::NginxServer nginx(path("nginx" + std::to_string(c.connections)));
        nginx.makeFile("slow/big.bin", size);
        // Slow until the kill, which falls in the middle (the first record after 2 s, the whole file in 16). The
        // next start asks under a fast name, apart from the killed program's requests that nginx logs late.
        nginx.addConfig("location /slow/ { limit_rate 512k; }");
        nginx.addConfig("location /fast/ { alias " + nginx.file("slow/") + "; }");
        ASSERT_TRUE(nginx.start());
        struct stat info {};
        ASSERT_EQ(::stat(nginx.file("slow/big.bin").c_str(), &info), 0);
        char etag[64];
        std::snprintf(etag, sizeof etag, "\"%lx-%lx\"", long(info.st_mtime), long(size));
        moontest::writeFile("big.bin", "");   // the validation's placeholder
        moontest::writeFile(PENDING_FILE, "saved\n" + nginx.url("slow/big.bin") + "\n" + path("big.bin") + "\n" +
                                              std::to_string(size) + (c.connections > 1 ? "\tetag=" + std::string(etag) : "") + "\n");
        {
            moontest::ProgramProcess program(MOON_PROGRAM, {"--download-now"});
            ASSERT_TRUE(moontest::waitFor([&] { return readFile(PENDING_FILE).find(c.recorded) != std::string::npos; },
                                          std::chrono::seconds(30)));
            program.stop(SIGKILL);
        }
        std::string saved = readFile(PENDING_FILE);
        const size_t at = saved.find(c.recorded) + 6;   // "done=" holds every range, "part=" the first
        const std::string field = saved.substr(at, saved.find_first_of("\t\n", at) - at);
        SegDone held{};
        ASSERT_TRUE(Seg_Parse(c.connections > 1 ? field : "0-" + field, &held));
        saved.replace(saved.find("/slow/"), 6, "/fast/");
        moontest::writeFile(PENDING_FILE, saved);
        {
            moontest::ProgramProcess next(MOON_PROGRAM, {"--download-now"});   // a downloaded link leaves the list
            EXPECT_TRUE(moontest::waitFor([] { return readFile(PENDING_FILE).find("big.bin") == std::string::npos; },
                                          std::chrono::seconds(30)));
            EXPECT_EQ(next.stop(SIGTERM), 0);
        }
        EXPECT_TRUE(moontest::isPatternFile(path("big.bin"), size));   // so this start asked for the rest
        for (const auto& line : moontest::fieldsOf(nginx.accessLog())) {
            const int64_t first = line[0].starts_with("GET /fast/") ? std::stoll(line[1].substr(6)) : -1;
            for (int32_t r = 0; r < held.count; ++r)
                EXPECT_FALSE(first >= held.ranges[r].first && first < held.ranges[r].end) << line[1];
        }
    }
}

// On a real display, X or Wayland: SIGTERM closes the "Attention" box as its close box does and
// ends the program, which saves the list; losing the display mid-download ends it with an error,
// the whole part recorded with the file's time (which only the end records). On Wayland the
// windows name the menu entry, and the box its owner.
TEST_F(ShellStart, TheEndOfTheSessionClosesTheAttentionBoxAndALostDisplayKeepsTheDownloadsPart)
{
    ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);
    ASSERT_EQ(Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, path("").c_str()), REG_OK);
    // One connection: the part lies at the file's start and the file is no longer than it, even
    // when the link's check comes before the download.
    ASSERT_EQ(Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_CONNECTIONS, 1), REG_OK);
    moontest::NginxServer nginx(path("nginx"));
    nginx.makeFile("a.bin", 10);
    nginx.makeFile("slow/big.bin", 4 << 20);
    nginx.addConfig("location /slow/ { set $limit_rate 512k; }");
    ASSERT_TRUE(nginx.start());
    auto endsOn = [&](auto&& display) {
        ASSERT_TRUE(display.start());
        std::filesystem::remove("big.bin");
        moontest::writeFile("a.bin", "old");
        const std::string item = nginx.url("slow/big.bin") + "\n" + path("big.bin") + "\n" + std::to_string(4 << 20) + "\n";
        moontest::writeFile(PENDING_FILE, "saved\n" + item);
        std::vector<std::string> run = display.environment();
        run.insert(run.end(), {MOON_PROGRAM, nginx.url("a.bin")});
        moontest::ProgramProcess asked("/usr/bin/env", run);
        ASSERT_TRUE(moontest::waitFor([&] { return display.shows("Attention"); }, std::chrono::seconds(30)));
        if constexpr (requires { display.asked(""); }) {
            EXPECT_TRUE(display.asked("set_app_id(\"com.larkvale.Moonfetch\")") &&
                        display.asked("set_parent(xdg_toplevel@"));
        }
        EXPECT_EQ(asked.stop(SIGTERM), 0);
        EXPECT_EQ(readFile(PENDING_FILE) + readFile("a.bin"), "1.2, Moonfetch pending URL list for internal use.\n" + item + "old");

        run = {run[0], run[1], MOON_PROGRAM, "--download-now"};
        moontest::ProgramProcess downloading("/usr/bin/env", run);
        ASSERT_TRUE(moontest::waitFor([] { return readFile(PENDING_FILE).find("\tpart=") != std::string::npos; },
                                      std::chrono::seconds(30)));
        display.stop();
        EXPECT_EQ(downloading.stop(0), 1);
        const std::string saved = readFile(PENDING_FILE);
        EXPECT_TRUE(saved.find("\tpart=" + std::to_string(std::filesystem::file_size("big.bin")) + "\t") != std::string::npos &&
                    saved.find("\tmtime=") != std::string::npos) << saved;
        EXPECT_NE(readFile("moonfch_log.txt").find("the display went away"), std::string::npos);
    };
    endsOn(moontest::XServer(path("x")));
    endsOn(moontest::WaylandServer(path("wayland")));
}

// A command (the program, or what runs it) run to its end with input on its standard input: its
// exit status, its output in out.txt and its errors in errors.txt.
int runToEnd(std::vector<std::string> arguments, const std::string& input)
{
    moontest::writeFile("input.txt", input);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return moontest::inChild([&] {
        const char* files[] = {"input.txt", "out.txt", "errors.txt"};
        for (int fd = 0; fd < 3; ++fd)
            ::dup2(::open(files[fd], fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644), fd);
        ::alarm(20);
        ::execvp(argv[0], argv.data());
        return 127;
    });
}

TEST_F(ShellStart, ASecondStartHandsItsLinksToTheRunningCopyAndListShowsTheCopysOrTheFilesItems)
{
    ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);
    std::filesystem::create_directory("dl");
    Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, path("dl").c_str());
    moontest::NginxServer nginx(path("nginx"));
    nginx.makeFile("a.bin", 1000);
    nginx.makeFile("b.bin", 2000);
    nginx.addConfig("location /many/ { rewrite ^ /a.bin break; }");   // a file under many names
    ASSERT_TRUE(nginx.start());
    moontest::writeFile("dl/kept.bin", "12");
    const std::string kept = nginx.url("kept.bin") + "\t100\tpartial\t" + path("dl/kept.bin") + "\n";
    moontest::writeFile(PENDING_FILE, "saved\n" + nginx.url("kept.bin") + "\n" + path("dl/kept.bin") + "\n100\tpart=2\n");
    EXPECT_EQ(runToEnd({MOON_PROGRAM, "--list"}), 0);   // read from the file, which stays as it was
    EXPECT_EQ(readFile("out.txt"), kept);
    EXPECT_FALSE(std::filesystem::exists("moonfch_lock.txt"));

    moontest::ProgramProcess first;
    ASSERT_TRUE(moontest::waitFor(
        [] { return readFile("moonfch_log.txt").find("Options, allowHTML") != std::string::npos; }));
    EXPECT_EQ(runToEnd({MOON_PROGRAM, nginx.url("a.bin"), nginx.url("missing.bin"), nginx.url("b.bin")}), 0);
    EXPECT_EQ(readFile("errors.txt"), "");
    std::string links;
    for (int i = 0; i < 10000; ++i)
        links += nginx.url("many/" + std::to_string(i) + ".bin") + "\n";
    EXPECT_EQ(runToEnd({MOON_PROGRAM, "--input", "-"}, links), 0);
    // Only 30 s without one more link checked fail, however slow the machine (the time: moon_bench handoff;
    // the threads the checks take: the core's test).
    for (size_t lines = 0; lines < 1 + 3 * 10003;)   // the header and 3 lines a valid item
        ASSERT_TRUE(moontest::waitFor([&] {
            const size_t now = std::ranges::count(readFile(PENDING_FILE), '\n');
            return std::exchange(lines, std::max(lines, now)) < now;
        }, std::chrono::seconds(30)));
    EXPECT_EQ(runToEnd({MOON_PROGRAM, "--list"}), 0);
    const std::string list = readFile("out.txt");
    EXPECT_EQ(list.substr(0, list.find(nginx.url("many/"))),
              kept + nginx.url("a.bin") + "\t1000\tready\t" + path("dl/a.bin") + "\n" + nginx.url("missing.bin") +
                  "\t0\tfailed\t\n" + nginx.url("b.bin") + "\t2000\tready\t" + path("dl/b.bin") + "\n");
    EXPECT_EQ(std::pair(std::count(list.begin(), list.end(), '\n'), std::count(list.begin(), list.end(), '\t')),
              std::pair(10004l, 3 * 10004l));
    EXPECT_NE(list.find(nginx.url("many/9999.bin") + "\t1000\tready\t"), std::string::npos);
    EXPECT_EQ(runToEnd({MOON_PROGRAM, "--download-now"}), 0);   // a start without links still acts
    EXPECT_TRUE(moontest::waitFor([this] { return moontest::isPatternFile(path("dl/b.bin"), 2000); }));
    EXPECT_EQ(first.stop(SIGTERM), 0);
}

// Both installs stage their files in the sandbox (DESTDIR), as a package build does: one for
// everybody, under /usr, and one for a person alone, under a home folder.
TEST_F(ShellStart, TheInstallPutsItsFilesWhereTheDesktopLooksAndTheProgramKeepsToItsDataFolder)
{
    ASSERT_EQ(runToEnd({"env", "DESTDIR=" + path("own"), "cmake", "--install", MOON_BUILD_DIR, "--prefix",
                        path("home/.local")}),
              0)
        << readFile("errors.txt");
    std::vector<std::string> outside;   // a person's install writes no browser's manifest to /etc
    for (const auto& entry : std::filesystem::recursive_directory_iterator("own"))
        if (entry.is_regular_file() && entry.path().string().rfind("own" + path("home/.local/"), 0) != 0)
            outside.push_back(entry.path().string());
    EXPECT_EQ(outside, std::vector<std::string>{});

    ASSERT_EQ(runToEnd({"env", "DESTDIR=" + path("stage"), "cmake", "--install", MOON_BUILD_DIR, "--prefix", "/usr"}), 0)
        << readFile("errors.txt");
    const std::string id = "com.larkvale.Moonfetch";
    std::vector<std::string> files = {"bin/moonfetch", "share/doc/moonfetch/manual.html", "share/doc/moonfetch/copyright",
                                      "share/icons/hicolor/scalable/apps/" + id + ".svg"};
    for (const char* size : {"16", "32", "48", "64", "128", "256"})
        files.push_back("share/icons/hicolor/" + std::string(size) + "x" + size + "/apps/" + id + ".png");
    for (const std::string& file : files)
        EXPECT_TRUE(std::filesystem::is_regular_file(path("stage/usr/" + file))) << file;
    // The browsers start the program where the system has it, not where this build was set up for.
    for (const char* manifest : {"usr/lib/mozilla", "etc/chromium", "etc/opt/chrome", "etc/opt/edge"})
        EXPECT_NE(readFile(path("stage/") + manifest + "/native-messaging-hosts/com.larkvale.moonfetch.json")
                      .find("\"path\": \"/usr/bin/moonfetch\","),
                  std::string::npos)
            << manifest;
    EXPECT_EQ(runToEnd({"desktop-file-validate", path("stage/usr/share/applications/" + id + ".desktop")}), 0)
        << readFile("out.txt");
    EXPECT_EQ(runToEnd({"appstreamcli", "validate", "--no-net", path("stage/usr/share/metainfo/" + id + ".metainfo.xml")}), 0)
        << readFile("out.txt");

    // Started from a launcher: in the home folder, which it leaves as it was.
    ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);
    std::filesystem::create_directory("home");
    std::filesystem::current_path("home");
    {
        moontest::ProgramProcess installed(path("stage/usr/bin/moonfetch").c_str(), {"--data-folder"});
        std::filesystem::current_path(dir());
        EXPECT_TRUE(moontest::waitFor(
            [] { return readFile("data/moonfetch/moonfch_log.txt").find("Options, allowHTML") != std::string::npos; }));
        EXPECT_EQ(installed.stop(SIGTERM), 0);
    }
    EXPECT_EQ(std::pair(std::filesystem::status("data/moonfetch").permissions(), std::filesystem::is_empty("home")),
              std::pair(std::filesystem::perms::owner_all, true));
    EXPECT_EQ(moontest::folderEntries("data/moonfetch"),
              (std::set<std::string>{"moonfch_lock.txt", "moonfch_log.txt", "moonfch_saved.txt"}));
    const std::string log = readFile("data/moonfetch/moonfch_log.txt");
    EXPECT_NE(log.find("manual " + path("stage/usr/share/doc/moonfetch/manual.html") + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("icon " + path("stage/usr/share/icons/hicolor/32x32/apps/" + id + ".png") + "\n"), std::string::npos);
}

// Each ends at once, before any window, lock or file of the folder: exit status 2 with a clear
// error on standard error for the hostile ones, 1 without a display, 0 for the questions.
TEST_F(ShellStart, CommandLinesThatEndAtOnceSayWhyAndTouchNothing)
{
    const std::string saved = "saved\nhttp://h/a.zip\n" + path("a.zip") + "\n5\n";
    moontest::writeFile("secret.txt", "http://h/b.zip\n");
    std::filesystem::permissions("secret.txt", std::filesystem::perms::none);
    std::filesystem::permissions(dir(), std::filesystem::perms::all);
    // Root reads any file: the program runs as nobody.
    std::vector<std::string> program = {MOON_PROGRAM};
    if (::geteuid() == 0)
        program = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", MOON_PROGRAM};
    const std::string longLink = "http://h/" + std::string(100 * 1024, 'x');
    // output: the start of standard error, or of standard output after status 0.
    const struct { std::vector<std::string> arguments; int status; std::string output; bool display = true; } rows[] = {
        {{longLink}, 2, "moonfetch: " + longLink.substr(0, 80) + "...: the link is longer than 2057 bytes\n"},
        {{"http://h/\xFF\xFE.zip"}, 2, "moonfetch: http://h/\\xFF\\xFE.zip: the link is not UTF-8 text\n"},
        {{"http://h/a.zip\r\nX-Evil: 1"}, 2,
         "moonfetch: http://h/a.zip\\x0D\\x0AX-Evil: 1: the link holds a line break or another control character\n"},
        {{"--input", "secret.txt"}, 2, "moonfetch: cannot read links from secret.txt: Permission denied.\n"},
        {{"--input"}, 2, "moonfetch: --input needs a file name"},
        {{"--\xFF"}, 2, "moonfetch: unknown option --\\xFF\nTry 'moonfetch --help'.\n"},
        // Behind "--" an argument is a link whatever it begins with; none of these is one.
        {{"--", "--\xFF"}, 2, "moonfetch: --\\xFF: the link is not UTF-8 text\n"},
        {{"-", "javascript:alert(1)", "FILE:///etc/passwd"}, 2, "moonfetch: -: \"-\" is no link (--input - reads links "
         "from standard input)\nmoonfetch: javascript:alert(1): Moonfetch fetches http, https and ftp links only\n"
         "moonfetch: FILE:///etc/passwd: Moonfetch fetches http, https and ftp links only\n"},
        {{"--version"}, 0, "Moonfetch 1.2\n"},
        {{"--help"}, 0, "Usage: moonfetch [--data-folder] [--download-now] [--input FILE] [--] [URL...]\n"},
        {{"http://h/c.zip"}, 1, "Moonfetch needs a display: set DISPLAY or WAYLAND_DISPLAY, or "
                                "QT_QPA_PLATFORM=offscreen to run without one.\n", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments[0].substr(0, 40));
        moontest::writeFile(PENDING_FILE, saved);
        std::vector<std::string> arguments = program;
        if (!row.display)
            arguments.insert(arguments.begin(), {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                                                 "QT_QPA_PLATFORM"});
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        EXPECT_EQ(runToEnd(arguments), row.status);
        EXPECT_EQ(readFile(row.status == 0 ? "out.txt" : "errors.txt").substr(0, row.output.size()), row.output);
        EXPECT_EQ(readFile(PENDING_FILE), saved);
        EXPECT_FALSE(std::filesystem::exists("moonfch_lock.txt") || std::filesystem::exists("moonfch_log.txt"));
    }
}

using Shell = moontest::UiSandbox;

// The quit warning comes only with items pending and "Download at" checked. The close box asks it too, unless
// a tray keeps the armed program: then Exit in the tray's menu asks, over the window, which comes out of the
// tray to carry the question and stays out when the person cancels.
TEST_F(Shell, QuitWarnsOnlyWithItemsPendingAndDownloadAtCheckedAndATrayKeepsTheArmedProgramOnTheCloseBox)
{
    HWND downloadAt = Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT);
    Win_SetChecked(downloadAt, true);
    ui.scheduleTimerId = Schedule_StartTimer(ui.hwndMain);
    EXPECT_TRUE(MQUI_ConfirmQuit());   // nothing pending
    addItem("http://h/a.zip");
    MQUI_Refresh();
    Win_SetChecked(downloadAt, false);
    EXPECT_TRUE(MQUI_ConfirmQuit());   // nothing scheduled
    Win_SetChecked(downloadAt, true);
    std::pair<HWND, bool> asked;   // the box's owner, and whether the window showed meanwhile
    modals.answers = {Win_Answer(IDCANCEL), [&asked](const WinModal& box) {
        asked = {box.owner, Win_IsWindowVisible(ui.hwndMain)};
        return Win_Answer(IDCANCEL)(box);
    }, Win_Answer(IDOK)};
    MQUI_WndProc(ui.hwndMain, WM_CLOSE, 0, 0);
    ASSERT_NE(ui.hwndMain, nullptr);
    Win_FakeTray(true);
    MQUI_ShowTray();
    Win_FakeTray(false);
    MQUI_WndProc(ui.hwndMain, WM_CLOSE, 0, 0);
    EXPECT_FALSE(Win_IsWindowVisible(ui.hwndMain));
    EXPECT_TRUE(Win_ChooseTrayItem("Exit"));
    EXPECT_EQ(asked, std::pair(ui.hwndMain, true));
    MQUI_WndProc(ui.hwndMain, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Win_ChooseTrayItem("Show Moonfetch"));
    EXPECT_TRUE(Win_IsWindowVisible(ui.hwndMain));
    EXPECT_TRUE(Win_ChooseTrayItem("Exit"));   // as File, Exit
    EXPECT_EQ(ui.hwndMain, nullptr);
    EXPECT_EQ(modals.seen, std::vector<std::string>(3, "box Error: Scheduled download will not occur if you quit. "
                                                       "Moonfetch must be running at scheduled time."));
    EXPECT_NE(readFile(PENDING_FILE).find("http://h/a.zip"), std::string::npos);
}

TEST_F(Shell, DeleteIsRefusedWhileTheWorkTimerRunsAndUndoWorksAnyTime)
{
    addItem("http://h/a.zip", ITEM_VALID, 1, "a.zip");
    addItem("http://h/b.zip", ITEM_VALID, 1, "b.zip");
    MOONQ_SelectAll();
    MQUI_Refresh();
    HWND downloadNow = Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_NOW);
    EXPECT_TRUE(Win_IsWindowEnabled(downloadNow));
    ui.workTimerId = WORK_TIMER_ID;   // a validation or a download is in flight
    MQUI_WndProc(ui.hwndMain, WM_COMMAND, IDM_DELETE, 0);
    EXPECT_TRUE(MOONQ_CountItems() == 2 && !Win_IsWindowEnabled(downloadNow));   // refused; the buttons show the work
    ui.workTimerId = 0;
    Win_SendKey(ui.hwndMain, VK_DELETE, false);
    EXPECT_TRUE(MOONQ_CountItems() == 0 && readFile(PENDING_FILE).find("http://h/a.zip") == std::string::npos);
    ui.workTimerId = WORK_TIMER_ID;
    MQUI_WndProc(ui.hwndMain, WM_COMMAND, IDM_UNDO, 0);
    EXPECT_TRUE(MOONQ_CountItems() == 2 && readFile(PENDING_FILE).find("http://h/b.zip") != std::string::npos);
    ui.workTimerId = 0;
}

TEST_F(Shell, AboutOpensFromTheMenuAndBothAcceleratorsAndHelpOpensTheManual)
{
    modals.answers = {Win_Press({IDOK}), Win_Press({IDOK}), Win_Press({IDOK})};
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_ABOUT));
    Win_SendAltChar(ui.hwndMain, '?');
    Win_SendAltChar(ui.hwndMain, '/');
    EXPECT_EQ(modals.seen, std::vector<std::string>(3, "dialog 103 About Moonfetch"));
    std::filesystem::create_directory(path("docs"));
    moontest::writeFile(path("docs/manual.html"), "<html></html>");
    const size_t opened = Win_OpenedDocuments().size();
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_MANUAL));
    ASSERT_EQ(Win_OpenedDocuments().size(), opened + 1);
    EXPECT_EQ(Win_OpenedDocuments().back(), "docs/manual.html");
}

TEST_F(Shell, RowsThatFitFollowTheWindowHeightAndAreNeverNegative)
{
    auto size = [](int height) { MQUI_WndProc(ui.hwndMain, WM_SIZE, 0, LPARAM(640 | height << 16)); };
    size(ui.listTop + 3 * ROW_HEIGHT + 43);
    const WinRect bar = Win_GetWindowRect(ui.hwndToolbar);
    EXPECT_EQ(std::tuple(ui.visibleRows, bar.right - bar.left), std::tuple(3, 640));
    ui.listTop = 3 * ROW_HEIGHT;   // a toolbar taller than a row: the count would go below 0
    size(0);
    EXPECT_EQ(ui.visibleRows, 0);
    ui.listTop = ui.toolbarHeight + 10;
}

TEST_F(Shell, QuitDuringADownloadStopsItBeforeItsItemIsReleased)
{
    moontest::ScriptedServer server(
        {{moontest::readRequest(),
          moontest::sendText("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"),
          moontest::sendBody(3000), moontest::staySilent()}});
    addItem(server.url("big.bin"), ITEM_VALID, 100000, "big.bin");
    addItem("http://h/next.zip", ITEM_VALID, 1, "next.zip");
    MQUI_StartDownloads();
    ASSERT_NE(ui.currentDownload, nullptr);
    ASSERT_TRUE(waitForUi([] { return ui.currentDownload->bytesDone.load() >= 3000; }));

    MQUI_WndProc(ui.hwndMain, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(std::pair(ui.hwndMain, ui.currentDownload), std::pair(HWND(nullptr), static_cast<UrlRequest*>(nullptr)));
    const std::string saved = readFile(PENDING_FILE);
    // Both wait for the next start, the interrupted one still first.
    EXPECT_LT(saved.find(server.url("big.bin")), saved.find("http://h/next.zip"));
    EXPECT_NE(saved.find("http://h/next.zip"), std::string::npos);
}

TEST(ShellClose, OnlyTheCloseBoxKeepsTheProgramAndOnlyInATrayWithSomethingToWaitFor)
{
    // Stays, by [tray offered][armed, running, idle][close box, File Exit, end of session].
    constexpr bool STAYS[2][3][3] = {{}, {{true, false, false}, {true, false, false}, {}}};
    for (int tray = 0; tray < 2; ++tray)
        for (int state = 0; state < 3; ++state)
            for (int by = 0; by < 3; ++by)
                EXPECT_EQ(MQUI_StaysInTray(CloseBy(by), tray == 1, state == 0, state == 1), STAYS[tray][state][by])
                    << tray << state << by;
}

}  // namespace
