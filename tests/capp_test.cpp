// The application object: its policy, identity line and three dialogs (the scripted user answering).
#include "capp.h"
#include "charconversions.h"
#include "english/resource.h"
#include "printer.h"
#include "scripted_user.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string SA = "Secure Access: ", IP = "IP Address: ", VE = "Validation Error: ";

// Set, it makes the next Cancel the secure access dialog's "IP Address..." command (a button hidden from people).
bool gAddressCommand = false;

// The dialog starts locked, so setting it up must set every control itself.
INT_PTR CALLBACK SecureAccessProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) CSPBoxDisableMembers(&gTheApp.mDocInfoBox, hwnd);
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && gAddressCommand) {
        gAddressCommand = false;
        wParam = IDC_IP_ADDRESS;
    }
    return CSPBoxProc(hwnd, message, wParam, lParam);
}

// The controls with an id, one line each: text and what is not plain.
void Print(std::ostream& out, const std::vector<ControlView>& controls)
{
    for (const ControlView& c : controls) {
        if (c.id == -1 || c.id == 0xFFFF) continue;
        out << "  " << c.id << " \"" << c.text << '"' << (c.visible ? "" : " hidden")
            << (c.enabled ? "" : " disabled") << (c.password ? " masked" : "") << '\n';
    }
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resources_ = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        ASSERT_NE(resources_, nullptr) << GetLastError();
        memset(&gTheApp, 0, sizeof gTheApp);
        CAppConstructor(&gTheApp);
        memset(&ident_, 0, sizeof ident_);
        CAppSetMembers(&gTheApp, &ident_, resources_);
    }
    void TearDown() override
    {
        CSocketDestructor(&gTheApp.mSocket);
        if (resources_) FreeLibrary(resources_);
    }
    // Runs `show` with the user answering `lines`; prints each dialog seen.
    int Run(const std::vector<std::string>& lines, const std::function<int()>& show)
    {
        ScriptedUser person(lines, nullptr);
        InstallUser(&person);
        int result = show();
        UninstallUser();
        EXPECT_FALSE(person.GaveUp());
        EXPECT_EQ(person.Dialogs().size(), lines.size());
        for (const SeenDialog& d : person.Dialogs()) {
            out_ << d.caption << '\n';
            Print(out_, d.controls);
            if (!d.looked.empty()) out_ << " looked:\n";
            Print(out_, d.looked);
        }
        return result;
    }

    HMODULE resources_ = nullptr;
    IdentOptions ident_;
    std::ostringstream out_;
};

TEST_F(AppTest, PolicyDecidesWhetherIdentityIsRequired)
{
    struct Case { int8_t enable, user, password, account; int16_t code; };
    for (Case c : {Case{0, 1, 1, 1, 400}, Case{1, 0, 0, 0, 400}, Case{1, 1, 0, 0, 405}, Case{1, 0, 1, 0, 405},
                   Case{1, 0, 0, 1, 405}, Case{-1, 0, 0, -128, 405}, Case{0, 0, 0, 0, 400}}) {
        const int8_t record[521] = {0, c.enable, c.user, 0, c.password, c.account};
        CAppSetSecurePrintingOptions(&gTheApp, record);
        EXPECT_EQ(CAppEvaluateSecureOptions(&gTheApp), c.code) << +c.enable << +c.user << +c.password << +c.account;
    }
    const std::string record(521, 'm');  // texts without a terminator end within their fields
    CAppSetSecurePrintingOptions(&gTheApp, record.data());
    EXPECT_EQ(std::string(gTheApp.mSecureOptions.strClientErrorMsg), std::string(255, 'm'));
    EXPECT_EQ(std::string(gTheApp.mSecureOptions.strEmailAddress), std::string(255, 'm'));
}

// TAB, CR and LF inside a field are spaces, so no field can shift another; 70 bytes must be left.
TEST_F(AppTest, IdentityLine)
{
    struct Case { const char *user, *password, *account, *line; int16_t size; };
    for (const Case& c : {Case{"", "", "", "xyz\t\t\r", 74}, Case{"a\tb", "p\rw", "4\n2", "xyza b\tp w\t4 2\r", 128},
                          Case{"a", "b", "c", "xyz", 73}}) {
        CopyNarrow(gTheApp.mDocInfoBox.mstrUserID, c.user);
        CopyNarrow(gTheApp.mDocInfoBox.mstrPassword, c.password);
        CopyNarrow(gTheApp.mDocInfoBox.mstrAccountNumber, c.account);
        char buffer[128] = "xyz";
        CAppAppendUserInfoOntoString(&gTheApp, buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.line);
    }
}

// The secure access dialog editable or locked, under a policy (user, password, account), then the
// validation error dialog by the verdict's rejected-fields block ('1' at bytes 0, 2, 4): the dialogs, the state left.
TEST_F(AppTest, DialogTranscript)
{
    const std::string longFields = "1112=" + std::string(30, 'u') + ", 1113=" + std::string(12, 'p') + ", 1114=" +
                                   std::string(40, '7') + ", look, OK";
    struct Row {
        const char* what;
        bool locked, command;    // command: the Cancel is the "IP Address..." command
        int changed, cancelled;  // mIpAddressChanged and mbIPAddressCancel before
        int8_t policy[3];
        std::vector<std::string> answers;
    };
    const Row rows[] = {
        {"OK", false, false, 0, 0, {1, 0, -1}, {SA + "1112=bob, OK"}},
        {"OK, fields emptied", false, false, 0, 0, {0, 0, 0}, {SA + "1112=, OK"}},
        {"OK, each field past its limit", false, false, 0, 0, {0, 0, 0}, {SA + longFields}},
        {"Cancel", false, false, 0, 0, {-128, 2, 0}, {SA + "1112=bob, Cancel"}},
        {"OK, address changed", false, false, 1, 0, {0, 0, 0}, {SA + "1112=bob, OK"}},
        {"Cancel, address dialog cancelled", false, false, 0, 1, {0, 0, 0}, {SA + "Esc"}},
        {"IP Address..., OK", false, true, 0, 1, {0, 0, 0}, {SA + "1112=carol, Cancel", IP + "1108=10.1.2.3, OK"}},
        {"IP Address..., Cancel", false, true, 0, 0, {0, 0, 0}, {SA + "1112=carol, Cancel", IP + "1108=9.9.9.9, Cancel"}},
        {"locked: OK, Esc", true, false, 0, 0, {0, 0, 0}, {SA + "OK, Enter, Esc"}},
        {"locked: IP Address..., OK", true, true, 0, 0, {0, 0, 0}, {SA + "Esc", IP + "1108=123.123.123.1234, OK"}},
        {"locked: IP Address..., Esc", true, true, 0, 0, {0, 0, 0}, {SA + "Cancel", IP + "1108=9.9.9.9, Esc"}},
    };
    for (const Row& row : rows) {
        out_ << "== " << row.what << '\n';
        CopyNarrow(gTheApp.mIPAddressBox.mstrIPAddress, "1.1.1.1");
        memset(&ident_, 0, sizeof ident_);
        CopyNarrow(ident_.docOwner, "alice");
        CSPBoxSetMembers(&gTheApp.mDocInfoBox, &ident_, resources_);
        gTheApp.mDocInfoBox.mlpfnCSPBoxProc = SecureAccessProc;
        gTheApp.mSecureOptions.bUserID = row.policy[0];
        gTheApp.mSecureOptions.bPassword = row.policy[1];
        gTheApp.mSecureOptions.bAcctNumber = row.policy[2];
        gTheApp.mIpAddressChanged = row.changed;
        gTheApp.mbIPAddressCancel = row.cancelled;
        gAddressCommand = row.command;
        int code = Run(row.answers, [&row] {
            return row.locked ? CAppGetIPAddressFromUser(&gTheApp) : CAppGetUserInfo(&gTheApp);
        });
        out_ << "code " << code << ", address changed " << gTheApp.mIpAddressChanged << ", address cancelled "
             << gTheApp.mbIPAddressCancel << ", editable " << gTheApp.mDocInfoBox.mAllowEditFields << "\ndialog user \""
             << gTheApp.mDocInfoBox.mstrUserID << "\", address \"" << gTheApp.mIPAddressBox.mstrIPAddress
             << "\"\njob owner \"" << ident_.docOwner << "\", password \"" << ident_.password << "\", account \""
             << ident_.accountNo << "\", address \"" << ident_.ipAddress << "\"\n";
    }
    CopyNarrow(gTheApp.mSecureOptions.strClientErrorMsg, std::string(255, 'm').c_str());
    CopyNarrow(gTheApp.mSecureOptions.strEmailAddress, "admin@example.org");
    for (const char* block : {"0x0x1x", "0x1x0x", "0x1x1x", "1x0x0x", "1x0x1x", "1x1x0x", "0x0x0x", "1x1x1x"}) {
        out_ << "== rejected " << block << '\n';
        Run({VE + "OK"}, [block] {
            CAppDisplayInvalidInfoMessage(&gTheApp, block);
            return 0;
        });
    }
    out_ << "== validation error: Esc, OK\n";
    const int code = Run({VE + "Esc, OK"}, [] { return CIUMBoxDoModal(&gTheApp.mInvalidUserMsgBox, nullptr); });
    out_ << "code " << code << '\n';
    ExpectGolden("capp_dialogs.txt", out_.str());
}

}  // namespace
