// The windowing on Linux beyond what both systems share: the scroll bar, scripted modal calls,
// dragged text and the second signal.
#include "tests/window/window_fixture.h"

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <tuple>

namespace {

using namespace moontest;

TEST_F(WindowTest, ScrollBarShowsOnlyWithARangeAndMovesOnlyWhenTheProgramSaysSo)
{
    HWND main = showMain();
    int fullWidth = Win_GetClientRect(main).right;
    messages.clear();
    Win_SetScrollRange(main, 10);
    int narrowed = Win_GetClientRect(main).right;
    EXPECT_LT(narrowed, fullWidth);
    ASSERT_FALSE(received(WM_SIZE).empty());   // the procedure hears of the narrower client area
    EXPECT_EQ(LOWORD(uintptr_t(received(WM_SIZE).back().lParam)), narrowed);

    std::vector<int> positions;
    for (int position : {4, 99}) {
        Win_SetScrollPos(main, position);
        positions.push_back(Win_GetScrollPos(main));
    }
    Win_SetScrollRange(main, 3);
    positions.push_back(Win_GetScrollPos(main));
    EXPECT_EQ(positions, (std::vector<int>{4, 10, 3}));
    // The person presses the down arrow at the bottom of the bar, right of the client area.
    Win_SetScrollPos(main, 1);
    messages.clear();
    WinRect client = Win_GetClientRect(main);
    Win_SendClick(main, client.right + 3, client.bottom - 3, false, false);
    ASSERT_EQ(received(WM_VSCROLL).size(), 1u);
    EXPECT_EQ(LOWORD(received(WM_VSCROLL)[0].wParam), int(SB_LINEDOWN));
    EXPECT_EQ(Win_GetScrollPos(main), 1);   // this procedure did not move it
    Win_SetScrollRange(main, 0);
    EXPECT_EQ(std::tuple(Win_GetClientRect(main).right, Win_GetScrollPos(main)), std::tuple(fullWidth, 0));
}

TEST_F(WindowTest, ASecondSignalEndsTheProcessAtOnce)
{
    Win_ListenForEndSession(showMain());
    // The first waits for the event loop, which a long save may keep from running.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((::raise(SIGINT), ::raise(SIGINT)), ::testing::KilledBySignal(SIGINT), "");
}

TEST_F(WindowTest, ScriptsAnswerMessageBoxesAndFileDialogs)
{
    WinModalQueue modals;
    modals.answers = {Win_Answer(IDOK), Win_Answer(IDOK, "/downloads/b.zip"),
                      Win_Answer(IDOK, "/a/name/that/does/not/fit/in/the/buffer.zip"), Win_Answer(IDOK)};
    EXPECT_EQ(Win_MessageBox(nullptr, "Scheduled download will not occur if you quit.", nullptr, MB_OKCANCEL), IDOK);
    char file[32] = "/downloads/a.zip";
    EXPECT_TRUE(Win_SaveFileName(nullptr, file, sizeof file));
    EXPECT_STREQ(file, "/downloads/b.zip");
    EXPECT_FALSE(Win_SaveFileName(nullptr, file, sizeof file));
    EXPECT_FALSE(Win_OpenFileName(nullptr, file, sizeof file));
    EXPECT_STREQ(file, "/downloads/b.zip");   // a cancel leaves the name as it was
    // "Error" is Windows' caption when none is given.
    EXPECT_EQ(modals.seen, (std::vector<std::string>{"box Error: Scheduled download will not occur if you quit.",
                                                     "save Save As: /downloads/a.zip", "save Save As: /downloads/b.zip",
                                                     "open Open: /downloads/b.zip"}));
}

// Takes what starts with "http://" and records every call.
class LinkTarget : public WinDropTarget {
public:
    uint32_t DragEnter(const char* text, uint32_t allowed) override
    {
        calls += "enter " + std::string(text ? text : "(none)") + "|";
        return effect = text && std::strncmp(text, "http://", 7) == 0 ? allowed : DROPEFFECT_NONE;
    }
    uint32_t DragOver() override { return effect; }
    void DragLeave() override { calls += "leave|"; }
    uint32_t Drop(const char* text) override
    {
        calls += "drop " + std::string(text ? text : "(none)") + "|";
        return effect;
    }
    std::string calls;
    uint32_t effect = DROPEFFECT_NONE;
};

TEST_F(WindowTest, DragsOfAcceptableTextAreDroppedAndOthersRefused)
{
    HWND main = showMain();
    LinkTarget target;
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/", DROPEFFECT_COPY, true), DROPEFFECT_NONE);  // none yet
    ASSERT_TRUE(Win_RegisterDropTarget(main, &target));
    EXPECT_FALSE(Win_RegisterDropTarget(main, &target));

    uint32_t both = DROPEFFECT_COPY | DROPEFFECT_LINK;
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/a.zip", both, true), both);
    EXPECT_EQ(Win_SendDrag(main, "<html>page</html>", both, true), DROPEFFECT_NONE);
    EXPECT_EQ(Win_SendDrag(main, nullptr, both, true), DROPEFFECT_NONE);
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/b.zip", DROPEFFECT_MOVE, false), DROPEFFECT_MOVE);
    EXPECT_EQ(target.calls, "enter http://example.com/a.zip|drop http://example.com/a.zip|enter <html>page</html>|"
                            "enter (none)|enter http://example.com/b.zip|leave|");
}


}  // namespace
