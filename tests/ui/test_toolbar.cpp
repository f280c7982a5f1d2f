#include "tests/ui/ui_fixture.h"

#include "tests/support/servers.h"

#include <string>

namespace {

// Nobody listens there: every query of it ends at once, and no answer changes the link.
std::string nowhere(const std::string& scheme, const std::string& file)
{
    return scheme + "127.0.0.1:" + std::to_string(moontest::freePort()) + "/" + file;
}

class Toolbar : public moontest::UiSandbox {
protected:
    static HWND control(int id) { return Win_GetDlgItem(ui.hwndToolbar, id); }
    static std::string editText() { return Win_TextOf(control(IDC_URL)); }
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
    // The change notice that setting the first text sends comes before the toolbar is known.
    HWND toolbar = ui.hwndToolbar;
    ui.hwndToolbar = nullptr;
    EXPECT_TRUE(MQUI_ToolbarProc(toolbar, WM_COMMAND, WPARAM(EN_CHANGE) << 16 | IDC_URL, 0));
    ui.hwndToolbar = toolbar;
    EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));
    const std::string site = nowhere("", "file.zip");
    const std::pair<std::string, std::string> cases[] = {   // typed, added
        {site, "http://" + site}, {"Http://" + site, "Http://" + site}, {"HTTPS://" + site, "HTTPS://" + site},
        {"FTP://" + site, "FTP://" + site}, {"ftp:/" + site, "http://ftp:/" + site}, {"", "http://"}};
    size_t count = 0;
    for (const auto& [typed, added] : cases) {
        typeAndAdd(typed);
        EXPECT_NE(ui.workTimerId, 0u);
        EXPECT_EQ(std::tuple(MOONQ_CountItems(), lastUrl(), editText()), std::tuple(++count, added, typed));
        EXPECT_FALSE(Win_IsWindowEnabled(control(IDC_ADD)));
    }
    Win_Click(control(IDC_ADD));   // the same text cannot go in twice without an edit
    EXPECT_EQ(MOONQ_CountItems(), count);
    Win_TypeText(control(IDC_URL), "x");
    EXPECT_TRUE(Win_IsWindowEnabled(control(IDC_ADD)));
    // The longest link goes in whole; one longer in bytes (also in two-byte letters, which the box
    // counts once) is refused and told, never cut.
    const std::string longest = "http://" + site + "?" + std::string(URL_LENGTH_LIMIT - 8 - site.size(), 'f');
    const std::string told = "box Error in Moonfetch: Moonfetch did not add the link: the link is longer than 2057 bytes.";
    std::string accented = longest.substr(0, 1100);
    while (accented.size() <= URL_LENGTH_LIMIT)
        accented += "\xC3\xA9";
    modals.answers = {Win_Answer(IDOK), Win_Answer(IDOK)};
    for (const std::string& typed : {longest + "f", accented, longest})
        typeAndAdd(typed);
    EXPECT_EQ(std::tuple(MOONQ_CountItems(), lastUrl(), modals.seen), std::tuple(count + 1, longest, std::vector{told, told}));
}

// The main window's own answers; how a drag reaches them is the window layer's part.
TEST_F(Toolbar, DropAddsTheLinkAsItCameAndItsAnswerIsFixedAtEntry)
{
    const std::string upper = nowhere("HTTP://", "file.zip");
    WinDropTarget* target = MQUI_DropTarget();
    EXPECT_EQ(target->DragEnter(upper.c_str(), DROPEFFECT_MOVE), DROPEFFECT_MOVE);
    EXPECT_EQ(target->Drop(upper.c_str()), DROPEFFECT_MOVE);
    EXPECT_EQ(std::tuple(MOONQ_CountItems(), lastUrl()), std::tuple(1u, upper));
    target->DragEnter(upper.c_str(), DROPEFFECT_COPY);
    target->DragLeave();
    EXPECT_EQ(target->DragOver(), DROPEFFECT_NONE);   // leaving cleared the answer
    EXPECT_EQ(target->DragEnter(nullptr, DROPEFFECT_COPY), DROPEFFECT_NONE);
    EXPECT_EQ(target->Drop(upper.c_str()), DROPEFFECT_NONE);   // whatever text the drop finally brings
    // The text dropped passes the test too; a drop that adds nothing answers none and says why.
    const std::string tooLong = upper + "?" + std::string(URL_LENGTH_LIMIT - upper.size(), 'f');
    target->DragEnter(upper.c_str(), DROPEFFECT_MOVE);
    modals.answers = {Win_Answer(IDOK)};
    EXPECT_EQ(target->Drop(tooLong.c_str()), DROPEFFECT_NONE);
    EXPECT_EQ(modals.seen, std::vector<std::string>{"box Error in Moonfetch: Moonfetch did not add the dropped link: "
                                                    "the link is longer than 2057 bytes."});
    EXPECT_EQ(MOONQ_CountItems(), 1u);   // neither drop that answered none added
}

}  // namespace
