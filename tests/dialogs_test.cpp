// The three dialogs, driven by the scripted user as a person would drive
// them, with the templates and strings of the shipped library's resources.
#include "capp.h"
#include "printer.h"
#include "scripted_user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

namespace {

const ControlView* Control(const SeenDialog& d, int id)
{
    for (const ControlView& c : d.controls)
        if (c.id == id) return &c;
    return nullptr;
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resources_ = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        ASSERT_NE(resources_, nullptr) << GetLastError();
        memset(&gTheApp, 0, sizeof gTheApp);
        CIPBoxConstructor(&gTheApp.mIPAddressBox);
        CSPBoxConstructor(&gTheApp.mDocInfoBox);
        CIUMBoxConstructor(&gTheApp.mInvalidUserMsgBox);
        memset(&ident_, 0, sizeof ident_);
        gTheApp.mIdentOptions = &ident_;
    }
    void TearDown() override
    {
        if (resources_) FreeLibrary(resources_);
    }

    // Shows a dialog with the scripted user answering `lines`; returns its result.
    int Run(const std::vector<std::string>& lines, const std::function<int()>& show)
    {
        user_.reset(new ScriptedUser(lines, nullptr));
        InstallUser(user_.get());
        int result = show();
        UninstallUser();
        EXPECT_FALSE(user_->GaveUp());
        return result;
    }
    SeenDialog Seen()
    {
        auto dialogs = user_->Dialogs();
        return dialogs.empty() ? SeenDialog() : dialogs.front();
    }

    int ShowAddress(const char* address, const std::string& answer)
    {
        CIPBoxSetMembers(&gTheApp.mIPAddressBox, address, resources_);
        return Run({answer}, [] { return CIPBoxDoModal(&gTheApp.mIPAddressBox, nullptr); });
    }

    int ShowSecureAccess(bool editable, int8_t user, int8_t password, int8_t account, const std::string& answer)
    {
        CSPBoxSetMembers(&gTheApp.mDocInfoBox, &ident_, resources_);
        SSecurePrintOptions policy = {};
        policy.bUserID = user, policy.bPassword = password, policy.bAcctNumber = account;
        CSPBoxSetDialogBoxOptionsText(&gTheApp.mDocInfoBox, policy);
        if (!editable) CSPBoxResetDialogBox(&gTheApp.mDocInfoBox);
        return Run({answer}, [] { return CSPBoxDoModal(&gTheApp.mDocInfoBox, nullptr); });
    }

    HMODULE resources_ = nullptr;
    IdentOptions ident_;
    std::unique_ptr<ScriptedUser> user_;
};

TEST_F(DialogTest, AddressConfirmedWithOk)
{
    gTheApp.mbIPAddressCancel = 1;
    EXPECT_EQ(ShowAddress("10.0.0.9", "IP Address: 1108=192.168.100.200, OK"), 1);
    EXPECT_EQ(Control(Seen(), 1108)->text, "10.0.0.9");  // the field opens with the stored address
    EXPECT_STREQ(gTheApp.mIPAddressBox.mstrIPAddress, "192.168.100.200");
    EXPECT_STREQ(ident_.ipAddress, "192.168.100.200");
    EXPECT_EQ(gTheApp.mIpAddressChanged, 1);
    EXPECT_EQ(gTheApp.mbIPAddressCancel, 0);
}

TEST_F(DialogTest, AddressKeepsFifteenCharacters)
{
    EXPECT_EQ(ShowAddress("", "IP Address: 1108=123.123.123.1234, OK"), 1);
    EXPECT_STREQ(gTheApp.mIPAddressBox.mstrIPAddress, "123.123.123.123");
    gTheApp.mIdentOptions = nullptr;
    EXPECT_EQ(ShowAddress(nullptr, "IP Address: OK"), 1);  // unchanged and without an identity record
    EXPECT_STREQ(gTheApp.mIPAddressBox.mstrIPAddress, "123.123.123.123");
    EXPECT_EQ(Control(Seen(), 1108)->text, "123.123.123.123");
}

TEST_F(DialogTest, AddressCancelledWithCancelOrEsc)
{
    for (const char* answer : {"IP Address: 1108=9.9.9.9, Cancel", "IP Address: 1108=9.9.9.9, Esc"}) {
        gTheApp.mIpAddressChanged = 0;
        EXPECT_EQ(ShowAddress("1.1.1.1", answer), 2) << answer;
        EXPECT_STREQ(gTheApp.mIPAddressBox.mstrIPAddress, "1.1.1.1");
        EXPECT_EQ(ident_.ipAddress[0], 0);
        EXPECT_EQ(gTheApp.mbIPAddressCancel, 1);
        EXPECT_EQ(gTheApp.mIpAddressChanged, 0);
    }
}

TEST_F(DialogTest, SecureAccessLabelsFollowThePolicy)
{
    struct Case { int8_t user, password, account; const char* labels[3]; };
    for (const Case& c : {Case{0, 0, 0, {"Optional", "Optional", "Optional"}},
                          Case{1, 0, -1, {"Required", "Optional", "Required"}},
                          Case{-128, 2, 0, {"Required", "Required", "Optional"}}}) {
        EXPECT_EQ(ShowSecureAccess(true, c.user, c.password, c.account, "Secure Access: Cancel"), 2);
        SeenDialog d = Seen();
        EXPECT_EQ(d.caption, "Secure Access");
        const int labels[] = {1115, 1116, 1117};
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(Control(d, labels[i])->text, c.labels[i]);
            EXPECT_TRUE(Control(d, labels[i])->visible);
            EXPECT_TRUE(Control(d, 1112 + i)->visible && Control(d, 1112 + i)->enabled);
        }
        EXPECT_TRUE(Control(d, 1113)->password);
        EXPECT_TRUE(Control(d, IDOK)->enabled);
        EXPECT_FALSE(Control(d, 1108)->visible);
        EXPECT_FALSE(Control(d, 1111)->visible);
        EXPECT_FALSE(Control(d, 1121)->visible);
    }
}

// Each field takes no more than its limit as it is typed (the record's size
// would cut a longer text anyway: the field itself is read back).
TEST_F(DialogTest, SecureAccessFieldsTakeTheirLimits)
{
    EXPECT_EQ(ShowSecureAccess(true, 1, 1, 1,
                               "Secure Access: 1112=" + std::string(30, 'u') + ", 1113=" + std::string(12, 'p') +
                                   ", 1114=" + std::string(40, '7') + ", look, OK"),
              1);
    const SeenDialog d = Seen();
    EXPECT_EQ(Control(d, 1112)->text.size(), 0u) << "opened empty";
    if (d.looked.empty()) ADD_FAILURE() << "the user did not look";
    for (auto field : {std::make_pair(1112, 24u), std::make_pair(1114, 32u)}) {
        SCOPED_TRACE(field.first);
        for (const ControlView& c : d.looked) {
            if (c.id == field.first) {
                EXPECT_EQ(c.text.size(), field.second);
            }
        }
    }
    EXPECT_EQ(std::string(gTheApp.mDocInfoBox.mstrUserID), std::string(24, 'u'));
    EXPECT_EQ(std::string(gTheApp.mDocInfoBox.mstrPassword), std::string(8, 'p'));
    EXPECT_EQ(std::string(gTheApp.mDocInfoBox.mstrAccountNumber), std::string(32, '7'));
    EXPECT_EQ(std::string(ident_.docOwner), std::string(24, 'u'));
    EXPECT_EQ(std::string(ident_.password), std::string(8, 'p'));
    EXPECT_EQ(std::string(ident_.accountNo), std::string(32, '7'));
}

TEST_F(DialogTest, SecureAccessOpensWithTheStoredFieldsAndCancelKeepsThem)
{
    snprintf(ident_.docOwner, sizeof ident_.docOwner, "alice");
    snprintf(ident_.password, sizeof ident_.password, "pw");
    EXPECT_EQ(ShowSecureAccess(true, 1, 1, 0, "Secure Access: 1112=mallory, 1113=, Esc"), 2);
    SeenDialog d = Seen();
    EXPECT_EQ(Control(d, 1112)->text, "alice");
    EXPECT_EQ(Control(d, 1113)->text, "pw");  // masked on screen, there in the field
    EXPECT_STREQ(gTheApp.mDocInfoBox.mstrUserID, "alice");
    EXPECT_STREQ(ident_.docOwner, "alice");
    EXPECT_EQ(ShowSecureAccess(true, 1, 1, 0, "Secure Access: 1112=, 1113=, OK"), 1);
    EXPECT_STREQ(ident_.docOwner, "");
    EXPECT_STREQ(ident_.password, "");
}

TEST_F(DialogTest, SecureAccessWithoutAnIdentityRecordKeepsItsOwn)
{
    CSPBoxSetMembers(&gTheApp.mDocInfoBox, nullptr, resources_);
    gTheApp.mIdentOptions = nullptr;
    SSecurePrintOptions policy = {};
    CSPBoxSetDialogBoxOptionsText(&gTheApp.mDocInfoBox, policy);
    EXPECT_EQ(Run({"Secure Access: 1112=bob, 1114=7, OK"}, [] { return CSPBoxDoModal(&gTheApp.mDocInfoBox, nullptr); }), 1);
    EXPECT_STREQ(gTheApp.mDocInfoBox.mstrUserID, "bob");
    EXPECT_STREQ(gTheApp.mDocInfoBox.mstrAccountNumber, "7");
    EXPECT_STREQ(ident_.docOwner, "");
}

TEST_F(DialogTest, LockedSecureAccessCanOnlyBeCancelled)
{
    EXPECT_EQ(ShowSecureAccess(false, 1, 1, 1, "Secure Access: OK, Enter, 1112=x, Esc"), 2);
    SeenDialog d = Seen();
    for (int id : {1112, 1113, 1114, 1115, 1116, 1117, 1108}) EXPECT_FALSE(Control(d, id)->visible) << id;
    EXPECT_TRUE(Control(d, 1111)->visible);
    EXPECT_TRUE(Control(d, 1121)->visible);
    EXPECT_FALSE(Control(d, IDOK)->enabled);
    EXPECT_TRUE(Control(d, IDCANCEL)->enabled);
    EXPECT_STREQ(gTheApp.mDocInfoBox.mstrUserID, "");
}

TEST_F(DialogTest, ValidationErrorNamesTheRejectedFields)
{
    struct Case { int user, password, account; const char* text; };
    for (const Case& c : {Case{1, 1, 0, "Account Number"}, Case{1, 0, 1, "Password"},
                          Case{1, 0, 0, "Password\nAccount Number"}, Case{0, 1, 1, "UserID"},
                          Case{0, 1, 0, "UserID\nAccount Number"}, Case{0, 0, 1, "UserID"},
                          Case{1, 1, 1, "UserID\nAccount Number"}, Case{0, 0, 0, "UserID\nAccount Number"},
                          Case{2, 1, 1, "UserID\nAccount Number"}}) {
        SSecurePrintOptions policy = {};
        snprintf(policy.strClientErrorMsg, sizeof policy.strClientErrorMsg, "%s", std::string(255, 'm').c_str());
        snprintf(policy.strEmailAddress, sizeof policy.strEmailAddress, "admin@example.org");
        CIUMBoxSetMembers(&gTheApp.mInvalidUserMsgBox, c.user, c.password, c.account, &policy, resources_);
        // Esc leaves the dialog open; only OK closes it.
        EXPECT_EQ(Run({"Validation Error: Esc, OK"}, [] { return CIUMBoxDoModal(&gTheApp.mInvalidUserMsgBox, nullptr); }),
                  1);
        SeenDialog d = Seen();
        EXPECT_EQ(d.caption, "Validation Error");
        EXPECT_EQ(Control(d, 1103)->text, c.text) << c.user << c.password << c.account;
        EXPECT_EQ(Control(d, 1104)->text, std::string(255, 'm'));
        EXPECT_EQ(Control(d, 1105)->text, "admin@example.org");
    }
}

// Sources that fill their whole field, without a terminator, are cut to the
// record's limits and terminated.
TEST_F(DialogTest, RecordsAreFilledWithinTheirFields)
{
    memset(ident_.docOwner, 'o', sizeof ident_.docOwner);
    memset(ident_.password, 'p', sizeof ident_.password);
    memset(ident_.accountNo, 'a', sizeof ident_.accountNo);
    CSPBoxSetMembers(&gTheApp.mDocInfoBox, &ident_, resources_);
    EXPECT_EQ(std::string(gTheApp.mDocInfoBox.mstrUserID), std::string(24, 'o'));
    EXPECT_EQ(std::string(gTheApp.mDocInfoBox.mstrPassword), std::string(8, 'p'));
    EXPECT_EQ(std::string(gTheApp.mDocInfoBox.mstrAccountNumber), std::string(32, 'a'));
    CIPBoxSetMembers(&gTheApp.mIPAddressBox, "name.of.a.print.server.example", resources_);
    EXPECT_STREQ(gTheApp.mIPAddressBox.mstrIPAddress, "name.of.a.print");
    SSecurePrintOptions policy;
    memset(&policy, 'x', sizeof policy);
    CIUMBoxSetMembers(&gTheApp.mInvalidUserMsgBox, 1, 0, 1, &policy, resources_);
    EXPECT_EQ(std::string(gTheApp.mInvalidUserMsgBox.mClientErrorMsg), std::string(255, 'x'));
    EXPECT_EQ(std::string(gTheApp.mInvalidUserMsgBox.mEmailAddress), std::string(255, 'x'));
}

TEST_F(DialogTest, AnswersForAnotherDialogMakeTheUserGiveUp)
{
    CIPBoxSetMembers(&gTheApp.mIPAddressBox, "1.2.3.4", resources_);
    ScriptedUser user({"Secure Access: OK"}, nullptr);
    InstallUser(&user);
    EXPECT_EQ(CIPBoxDoModal(&gTheApp.mIPAddressBox, nullptr), 2);  // given up with Esc
    UninstallUser();
    EXPECT_TRUE(user.GaveUp());
}

}  // namespace
