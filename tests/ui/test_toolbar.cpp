#include "ui_fixture.h"

#include "servers.h"

#include <filesystem>
#include <memory>
#include <string>

namespace {

class Toolbar : public moontest::DownloadSandbox {
protected:
    void SetUp() override
    {
        DownloadSandbox::SetUp();
        nginx->makeFile("file.zip", 5000);
        nginx->makeFile("index.html", 300);
        ASSERT_TRUE(nginx->start());
    }
    void TearDown() override
    {
        MQUI_SetAllowHTML(0);   // the drop target outlives the test
        DownloadSandbox::TearDown();
    }

    static HWND control(int id) { return Win_GetDlgItem(ui.hwndToolbar, id); }
    static std::string editText()
    {
        char text[URL_CAPACITY];
        Win_GetWindowText(control(IDC_URL), text, sizeof text);
        return text;
    }
    // Replaces the box's text the way a person would and presses "Add:".
    static void typeAndAdd(const std::string& text)
    {
        Win_SetWindowText(control(IDC_URL), "");
        Win_TypeText(control(IDC_URL), text.c_str());
        Win_Click(control(IDC_ADD));
    }
    static std::string lastUrl()
    {
        auto lock = MOONQ_LockItem();
        UrlItem* item = MOONQ_ItemAt(MOONQ_CountItems() - 1);
        return item ? item->url : "(none)";
    }
};

TEST_F(Toolbar, AddIsEnabledOnlyByAnEditAndDisabledAgainByEachAdd)
{
    EXPECT_EQ(editText(), "http://");
    EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));

    // The change notice that setting the first text sends comes before the toolbar is known.
    HWND toolbar = ui.hwndToolbar;
    ui.hwndToolbar = nullptr;
    EXPECT_TRUE(MQUI_ToolbarProc(toolbar, WM_COMMAND, WPARAM(EN_CHANGE) << 16 | IDC_URL, 0));
    ui.hwndToolbar = toolbar;
    EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));

    const std::string url = nginx->url("file.zip");
    typeAndAdd(url);
    EXPECT_EQ(MOONQ_CountItems(), 1u);
    EXPECT_EQ(lastUrl(), url);
    EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));
    EXPECT_EQ(editText(), url);   // the text stays for the next edit
    EXPECT_NE(ui.workTimerId, 0u);

    Win_Click(control(IDC_ADD));   // the same text cannot go in twice without an edit
    EXPECT_EQ(MOONQ_CountItems(), 1u);
    Win_TypeText(control(IDC_URL), "x");
    EXPECT_TRUE(Win_IsWindowEnabled(control(IDC_ADD)));

    // The added link goes all the way: validated, its placeholder made, the timer quiet again.
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    EXPECT_EQ(MOONQ_FirstItem()->flags.load(), ITEM_VALID);
    EXPECT_TRUE(std::filesystem::exists(path("dl/file.zip")));
}

TEST_F(Toolbar, TypedTextGetsHttpInFrontOnlyWhenItNamesNoScheme)
{
    // Nobody listens there: every query ends at once, whatever its scheme.
    const std::string hostPath = "127.0.0.1:" + std::to_string(moontest::freePort()) + "/file.zip";
    const struct {
        std::string typed, added;
    } cases[] = {
        {hostPath, "http://" + hostPath},
        {"http://" + hostPath, "http://" + hostPath},
        {"HTTP://" + hostPath, "HTTP://" + hostPath},
        {"Http://" + hostPath, "Http://" + hostPath},
        {"https://" + hostPath, "https://" + hostPath},
        {"HTTPS://" + hostPath, "HTTPS://" + hostPath},
        {"ftp://" + hostPath, "ftp://" + hostPath},
        {"FTP://" + hostPath, "FTP://" + hostPath},
        {"ftp:/" + hostPath, "http://ftp:/" + hostPath},
        {"", "http://"},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        typeAndAdd(c.typed);
        EXPECT_EQ(MOONQ_CountItems(), ++count) << c.typed;
        EXPECT_EQ(lastUrl(), c.added) << c.typed;
    }
}

TEST_F(Toolbar, AcceptableDragTakesTheSourcesEffectsAndAddsTheTextAsDropped)
{
    // Nobody listens there, so no answer replaces the link with the server's final URL.
    const std::string secure = "https://127.0.0.1:" + std::to_string(moontest::freePort()) + "/file.zip";
    EXPECT_EQ(Win_SendDrag(ui.hwndMain, secure.c_str(), DROPEFFECT_COPY, true), DROPEFFECT_COPY);
    EXPECT_EQ(lastUrl(), secure);
    const std::string url = "HTTP://127.0.0.1:" + std::to_string(moontest::freePort()) + "/file.zip";
    EXPECT_EQ(Win_SendDrag(ui.hwndMain, url.c_str(), DROPEFFECT_COPY | DROPEFFECT_LINK, true),
              DROPEFFECT_COPY | DROPEFFECT_LINK);
    EXPECT_EQ(MOONQ_CountItems(), 2u);
    EXPECT_EQ(lastUrl(), url);
    EXPECT_NE(ui.workTimerId, 0u);
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    EXPECT_EQ(lastUrl(), url);

    // A drag that only hovers adds nothing, and leaving clears its answer.
    EXPECT_EQ(Win_SendDrag(ui.hwndMain, nginx->url("other.zip").c_str(), DROPEFFECT_MOVE, false),
              DROPEFFECT_MOVE);
    EXPECT_EQ(MQUI_DropTarget()->DragOver(), DROPEFFECT_NONE);
    EXPECT_EQ(MOONQ_CountItems(), 2u);
}

TEST_F(Toolbar, PagesAndNonLinksAreRefusedUnlessPagesAreAllowed)
{
    const std::string page = nginx->url("index.html");
    const char* refused[] = {page.c_str(), "just some words", "http://127.0.0.1/dir/", "", nullptr};
    for (const char* text : refused)
        EXPECT_EQ(Win_SendDrag(ui.hwndMain, text, DROPEFFECT_COPY, true), DROPEFFECT_NONE)
            << (text ? text : "(no text)");
    EXPECT_EQ(MOONQ_CountItems(), 0u);
    EXPECT_EQ(ui.workTimerId, 0u);

    // The answer is fixed at entry: the drop obeys it, whatever text it finally brings.
    WinDropTarget* target = MQUI_DropTarget();
    EXPECT_EQ(target->DragEnter(page.c_str(), DROPEFFECT_COPY), DROPEFFECT_NONE);
    EXPECT_EQ(target->Drop(nginx->url("file.zip").c_str()), DROPEFFECT_NONE);
    EXPECT_EQ(MOONQ_CountItems(), 0u);

    MQUI_SetAllowHTML(1);
    EXPECT_EQ(Win_SendDrag(ui.hwndMain, page.c_str(), DROPEFFECT_COPY, true), DROPEFFECT_COPY);
    EXPECT_EQ(lastUrl(), page);
}

}  // namespace
