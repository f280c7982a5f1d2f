#include "ui_fixture.h"

#include "servers.h"

#include <string>

namespace {

// Nobody listens there: every query of it ends at once, and no answer changes the link.
std::string nowhere(const std::string& scheme, const std::string& file)
{
    return scheme + "127.0.0.1:" + std::to_string(moontest::freePort()) + "/" + file;
}

class Toolbar : public moontest::UiSandbox {
protected:
    void TearDown() override
    {
        MQUI_SetAllowHTML(0);   // the drop target outlives the test
        UiSandbox::TearDown();
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

TEST_F(Toolbar, AddTakesTheTypedTextWithHttpInFrontWhenItNamesNoSchemeOnceAfterEachEdit)
{
    EXPECT_EQ(editText(), "http://");
    EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));
    // The change notice that setting the first text sends comes before the toolbar is known.
    HWND toolbar = ui.hwndToolbar;
    ui.hwndToolbar = nullptr;
    EXPECT_TRUE(MQUI_ToolbarProc(toolbar, WM_COMMAND, WPARAM(EN_CHANGE) << 16 | IDC_URL, 0));
    ui.hwndToolbar = toolbar;
    EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));

    const std::string hostPath = nowhere("", "file.zip");
    const struct {
        std::string typed, added;
    } cases[] = {
        {hostPath, "http://" + hostPath}, {"http://" + hostPath, "http://" + hostPath},
        {"Http://" + hostPath, "Http://" + hostPath}, {"HTTPS://" + hostPath, "HTTPS://" + hostPath},
        {"https://" + hostPath, "https://" + hostPath}, {"FTP://" + hostPath, "FTP://" + hostPath},
        {"ftp:/" + hostPath, "http://ftp:/" + hostPath}, {"", "http://"},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        typeAndAdd(c.typed);
        EXPECT_NE(ui.workTimerId, 0u);
        EXPECT_EQ(MOONQ_CountItems(), ++count) << c.typed;
        EXPECT_EQ(lastUrl(), c.added) << c.typed;
        EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));
        EXPECT_EQ(editText(), c.typed);   // the text stays for the next edit
    }
    Win_Click(control(IDC_ADD));   // the same text cannot go in twice without an edit
    EXPECT_EQ(MOONQ_CountItems(), count);
    Win_TypeText(control(IDC_URL), "x");
    EXPECT_TRUE(Win_IsWindowEnabled(control(IDC_ADD)));
}

TEST_F(Toolbar, DropAddsTheLinkAsItCameWithTheSourcesEffectsAndRefusalsAreFixedAtEntry)
{
    const std::string secure = nowhere("https://", "file.zip"), upper = nowhere("HTTP://", "file.zip");
    const std::string page = nowhere("http://", "index.html");
    const struct {
        const char* text;
        uint32_t allowed, answer;
        bool drop;
        size_t items;
        const std::string& last;   // the last link in the list after the drag
    } cases[] = {
        {secure.c_str(), DROPEFFECT_COPY, DROPEFFECT_COPY, true, 1, secure},
        {upper.c_str(), DROPEFFECT_COPY | DROPEFFECT_LINK, DROPEFFECT_COPY | DROPEFFECT_LINK, true, 2, upper},
        {page.c_str(), DROPEFFECT_COPY, DROPEFFECT_NONE, true, 2, upper},   // pages are not allowed yet
        {nullptr, DROPEFFECT_COPY, DROPEFFECT_NONE, true, 2, upper},
        {secure.c_str(), DROPEFFECT_MOVE, DROPEFFECT_MOVE, false, 2, upper},   // only hovers
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Win_SendDrag(ui.hwndMain, c.text, c.allowed, c.drop), c.answer) << (c.text ? c.text : "(no text)");
        EXPECT_EQ(MOONQ_CountItems(), c.items);
        EXPECT_EQ(lastUrl(), c.last);
    }
    EXPECT_EQ(MQUI_DropTarget()->DragOver(), DROPEFFECT_NONE);   // leaving cleared the answer

    // The answer is fixed at entry: the drop obeys it, whatever text it finally brings.
    WinDropTarget* target = MQUI_DropTarget();
    EXPECT_EQ(target->DragEnter(page.c_str(), DROPEFFECT_COPY), DROPEFFECT_NONE);
    EXPECT_EQ(target->Drop(secure.c_str()), DROPEFFECT_NONE);
    EXPECT_EQ(MOONQ_CountItems(), 2u);
    MQUI_SetAllowHTML(1);
    EXPECT_EQ(Win_SendDrag(ui.hwndMain, page.c_str(), DROPEFFECT_COPY, true), DROPEFFECT_COPY);
    EXPECT_EQ(lastUrl(), page);
}

}  // namespace
