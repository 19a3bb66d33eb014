// The application object and its three dialogs: the policy, the identity
// line, and each way through the dialogs (driven by the scripted user, with
// the templates and strings of the shipped library's resources).
#include "capp.h"
#include "charconversions.h"
#include "english/resource.h"
#include "printer.h"
#include "scripted_user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const std::string SA = "Secure Access: ", IP = "IP Address: ", VE = "Validation Error: ";

// With gAddressCommand set, the next Cancel reaches the secure access dialog
// as its "IP Address..." command, whose button is hidden from a person.
bool gAddressCommand = false;

INT_PTR CALLBACK SecureAccessProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && gAddressCommand) {
        gAddressCommand = false;
        wParam = IDC_IP_ADDRESS;
    }
    return CSPBoxProc(hwnd, message, wParam, lParam);
}

const ControlView& Control(const std::vector<ControlView>& controls, int id)
{
    static const ControlView none = {};
    for (const ControlView& c : controls)
        if (c.id == id) return c;
    ADD_FAILURE() << "no control " << id;
    return none;
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
        gTheApp.mDocInfoBox.mlpfnCSPBoxProc = SecureAccessProc;
        gAddressCommand = false;
    }
    void TearDown() override
    {
        CSocketDestructor(&gTheApp.mSocket);
        if (resources_) FreeLibrary(resources_);
    }
    // Runs `show` with the user answering `lines`; keeps the dialogs seen.
    int Run(const std::vector<std::string>& lines, const std::function<int()>& show)
    {
        ScriptedUser person(lines, nullptr);
        InstallUser(&person);
        int result = show();
        UninstallUser();
        EXPECT_FALSE(person.GaveUp());
        seen_ = person.Dialogs();
        EXPECT_EQ(seen_.size(), lines.size());
        if (seen_.empty()) seen_.push_back(SeenDialog());
        return result;
    }

    HMODULE resources_ = nullptr;
    IdentOptions ident_;
    std::vector<SeenDialog> seen_;
};

TEST_F(AppTest, PolicyDecidesWhetherIdentityIsRequired)
{
    struct Case { int8_t enable, user, password, account; int16_t code; };
    for (Case c : {Case{0, 1, 1, 1, 400}, Case{1, 0, 0, 0, 400}, Case{1, 1, 0, 0, 405}, Case{1, 0, 1, 0, 405},
                   Case{1, 0, 0, 1, 405}, Case{-1, 0, 0, -128, 405}, Case{0, 0, 0, 0, 400}}) {
        unsigned char record[521] = {};
        record[1] = static_cast<unsigned char>(c.enable), record[2] = static_cast<unsigned char>(c.user);
        record[4] = static_cast<unsigned char>(c.password), record[5] = static_cast<unsigned char>(c.account);
        CAppSetSecurePrintingOptions(&gTheApp, record);
        EXPECT_EQ(CAppEvaluateSecureOptions(&gTheApp), c.code) << int(c.enable) << int(c.user) << int(c.password)
                                                               << int(c.account);
    }
    unsigned char record[521];
    memset(record, 'm', sizeof record);  // texts without a terminator end within their fields
    CAppSetSecurePrintingOptions(&gTheApp, record);
    EXPECT_EQ(std::string(gTheApp.mSecureOptions.strClientErrorMsg), std::string(255, 'm'));
    EXPECT_EQ(std::string(gTheApp.mSecureOptions.strEmailAddress), std::string(255, 'm'));
}

// The identity line the request carries: TAB, CR and LF inside a field are
// spaces, so no field can shift another; 70 bytes must be left for it.
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

// Each way through the secure access dialog, editable (CAppGetUserInfo) or
// locked (CAppGetIPAddressFromUser), with its "IP Address..." command, and
// the step each leads to. The job's record is told an address from the
// address dialog only.
TEST_F(AppTest, SecureAccessDialogSteps)
{
    struct Row {
        const char* what;
        bool locked, command;    // command: the Cancel is the "IP Address..." command
        int changed, cancelled;  // mIpAddressChanged and mbIPAddressCancel before, and after
        std::vector<std::string> answers;
        int16_t code;
        int changedAfter, cancelledAfter, editableAfter;
        const char *user, *owner, *address;  // the dialog's user ID, the job's, and the address after
    };
    const Row rows[] = {
        {"OK", false, false, 0, 0, {SA + "1112=bob, OK"}, 101, 0, 0, 1, "bob", "bob", "1.1.1.1"},
        {"OK, fields emptied", false, false, 0, 0, {SA + "1112=, OK"}, 101, 0, 0, 1, "", "", "1.1.1.1"},
        {"Cancel", false, false, 0, 0, {SA + "1112=bob, Cancel"}, 400, 0, 0, 1, "alice", "alice", "1.1.1.1"},
        {"OK, address changed", false, false, 1, 0, {SA + "1112=bob, OK"}, 404, 1, 0, 0, "bob", "bob", "1.1.1.1"},
        {"Cancel, address dialog cancelled", false, false, 0, 1, {SA + "Esc"}, 405, 0, 0, 1, "alice", "alice",
         "1.1.1.1"},
        {"IP Address..., OK", false, true, 0, 1, {SA + "1112=carol, Cancel", IP + "1108=10.1.2.3, OK"}, 404, 1, 0, 0, "carol",
         "alice", "10.1.2.3"},
        {"IP Address..., Cancel", false, true, 0, 0, {SA + "1112=carol, Cancel", IP + "1108=9.9.9.9, Cancel"}, 405, 0, 0, 1,
         "carol", "alice", "1.1.1.1"},
        {"locked: OK, Esc", true, false, 0, 0, {SA + "OK, Enter, Esc"}, 400, 0, 0, 0, "alice", "alice", "1.1.1.1"},
        {"locked: IP Address..., OK", true, true, 0, 0, {SA + "Esc", IP + "1108=123.123.123.1234, OK"}, 404, 1, 0, 0,
         "alice", "alice", "123.123.123.123"},
        {"locked: IP Address..., Esc", true, true, 0, 0, {SA + "Cancel", IP + "1108=9.9.9.9, Esc"}, 400, 0, 1, 0, "alice",
         "alice", "1.1.1.1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CopyNarrow(gTheApp.mIPAddressBox.mstrIPAddress, "1.1.1.1");
        memset(&ident_, 0, sizeof ident_);
        CopyNarrow(ident_.docOwner, "alice");
        CSPBoxSetMembers(&gTheApp.mDocInfoBox, &ident_, resources_);
        gTheApp.mDocInfoBox.mlpfnCSPBoxProc = SecureAccessProc;
        gTheApp.mIpAddressChanged = row.changed;
        gTheApp.mbIPAddressCancel = row.cancelled;
        gAddressCommand = row.command;
        EXPECT_EQ(Run(row.answers, [&row] {
            return row.locked ? CAppGetIPAddressFromUser(&gTheApp) : CAppGetUserInfo(&gTheApp);
        }), row.code);
        // Opens with the stored fields; locked, only the not-connected marks show and OK is disabled.
        const std::vector<ControlView>& d = seen_.front().controls;
        EXPECT_EQ(Control(d, 1112).text, "alice");
        for (int id : {1112, 1113, 1114, 1115, 1116, 1117, IDOK})
            EXPECT_EQ(Control(d, id).visible && Control(d, id).enabled, !row.locked) << id;
        EXPECT_EQ(Control(d, 1111).visible && Control(d, 1121).visible, row.locked);
        EXPECT_FALSE(Control(d, 1108).visible);
        if (row.command) {
            EXPECT_EQ(Control(seen_.back().controls, 1108).text, "1.1.1.1");
        }
        EXPECT_EQ(gTheApp.mIpAddressChanged, row.changedAfter);
        EXPECT_EQ(gTheApp.mbIPAddressCancel, row.cancelledAfter);
        EXPECT_EQ(gTheApp.mDocInfoBox.mAllowEditFields, row.editableAfter);
        EXPECT_STREQ(gTheApp.mDocInfoBox.mstrUserID, row.user);
        EXPECT_STREQ(ident_.docOwner, row.owner);
        EXPECT_STREQ(gTheApp.mIPAddressBox.mstrIPAddress, row.address);
        EXPECT_STREQ(ident_.ipAddress, std::string(row.address) == "1.1.1.1" ? "" : row.address);
    }
}

TEST_F(AppTest, SecureAccessLabelsFollowThePolicy)
{
    struct Case { int8_t user, password, account; const char* labels[3]; };
    for (const Case& c : {Case{0, 0, 0, {"Optional", "Optional", "Optional"}},
                          Case{1, 0, -1, {"Required", "Optional", "Required"}},
                          Case{-128, 2, 0, {"Required", "Required", "Optional"}}}) {
        gTheApp.mSecureOptions.bUserID = c.user, gTheApp.mSecureOptions.bPassword = c.password;
        gTheApp.mSecureOptions.bAcctNumber = c.account;
        EXPECT_EQ(Run({SA + "Cancel"}, [] { return CAppGetUserInfo(&gTheApp); }), 400);
        for (int i = 0; i < 3; i++) EXPECT_EQ(Control(seen_.front().controls, 1115 + i).text, c.labels[i]) << i;
    }
}

// Each field takes no more than its limit as it is typed: the field itself is
// read back, as the record's size would cut a longer text anyway.
TEST_F(AppTest, SecureAccessFieldsTakeTheirLimits)
{
    const std::string user(30, 'u'), password(12, 'p'), account(40, '7');
    gTheApp.mIpAddressChanged = 0;
    EXPECT_EQ(Run({SA + "1112=" + user + ", 1113=" + password + ", 1114=" + account + ", look, OK"},
                  [] { return CAppGetUserInfo(&gTheApp); }), 101);
    for (auto field : {std::make_pair(1112, 24u), std::make_pair(1113, 8u), std::make_pair(1114, 32u)})
        EXPECT_EQ(Control(seen_.front().looked, field.first).text.size(), field.second) << field.first;
    EXPECT_EQ(std::string(ident_.docOwner), user.substr(0, 24));
    EXPECT_EQ(std::string(ident_.password), password.substr(0, 8));
    EXPECT_EQ(std::string(ident_.accountNo), account.substr(0, 32));
}

// The rejected-fields block of the server's verdict ('1': rejected, at bytes
// 0, 2 and 4), and the administrator's texts. Esc leaves the dialog open.
TEST_F(AppTest, ValidationErrorNamesTheRejectedFields)
{
    CopyNarrow(gTheApp.mSecureOptions.strClientErrorMsg, std::string(255, 'm').c_str());
    CopyNarrow(gTheApp.mSecureOptions.strEmailAddress, "admin@example.org");
    struct Case { const char *block, *text; };
    for (const Case& c : {Case{"0x0x1x", "Account Number"}, Case{"0x1x0x", "Password"},
                          Case{"0x1x1x", "Password\nAccount Number"}, Case{"1x0x0x", "UserID"},
                          Case{"1x0x1x", "UserID\nAccount Number"}, Case{"1x1x0x", "UserID"},
                          Case{"0x0x0x", "UserID\nAccount Number"}, Case{"1x1x1x", "UserID\nAccount Number"}}) {
        SCOPED_TRACE(c.block);
        Run({VE + "OK"}, [&c] {
            CAppDisplayInvalidInfoMessage(&gTheApp, c.block);
            return 0;
        });
        EXPECT_EQ(Control(seen_.front().controls, 1103).text, c.text);
        EXPECT_EQ(Control(seen_.front().controls, 1104).text, std::string(255, 'm'));
        EXPECT_EQ(Control(seen_.front().controls, 1105).text, "admin@example.org");
    }
    EXPECT_EQ(Run({VE + "Esc, OK"}, [] { return CIUMBoxDoModal(&gTheApp.mInvalidUserMsgBox, nullptr); }), 1);
}

}  // namespace
