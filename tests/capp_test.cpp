// The application object's operations: the policy, the identity line, the
// probe and the exchanges over a live loopback server, and the dialogs it
// runs (answered by the scripted user).
#include "capp.h"
#include "loopback_server.h"
#include "printer.h"
#include "scripted_user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500");
        resources_ = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        ASSERT_NE(resources_, nullptr);
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
    void SetAddress(const char* address) { CopyAddress(gTheApp.mIPAddressBox.mstrIPAddress, address); }
    static void CopyAddress(char (&field)[16], const char* text) { snprintf(field, sizeof field, "%s", text); }

    HMODULE resources_ = nullptr;
    IdentOptions ident_;
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
}

TEST_F(AppTest, PolicyTextsEndWithinTheirFields)
{
    unsigned char record[521];
    memset(record, 'm', sizeof record);
    CAppSetSecurePrintingOptions(&gTheApp, record);
    EXPECT_EQ(std::string(gTheApp.mSecureOptions.strClientErrorMsg), std::string(255, 'm'));
    EXPECT_EQ(std::string(gTheApp.mSecureOptions.strEmailAddress), std::string(255, 'm'));
    EXPECT_EQ(gTheApp.mSecureOptions.eSecurePrintingSetting, 'm');
}

TEST_F(AppTest, IdentityLine)
{
    struct Case { const char *user, *password, *account; std::string line; };
    for (const Case& c : {Case{"", "", "", "\t\t\r"}, Case{"alice", "s3cret", "42", "alice\ts3cret\t42\r"},
                          Case{"a\tb", "p\rw", "4\n2", "a b\tp w\t4 2\r"}}) {
        snprintf(gTheApp.mDocInfoBox.mstrUserID, 25, "%s", c.user);
        snprintf(gTheApp.mDocInfoBox.mstrPassword, 9, "%s", c.password);
        snprintf(gTheApp.mDocInfoBox.mstrAccountNumber, 33, "%s", c.account);
        char buffer[1024] = {};
        CAppAppendUserInfoOntoString(&gTheApp, buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), c.line);
    }
    // 70 bytes must be left, whatever the fields' lengths.
    for (int16_t room : {70, 71}) {
        char buffer[128] = "xyz";
        CAppAppendUserInfoOntoString(&gTheApp, buffer, static_cast<int16_t>(3 + room));
        EXPECT_EQ(std::string(buffer) != "xyz", room == 71) << room;
    }
}

TEST_F(AppTest, ProbeAndExchangeWithTheServer)
{
    ServerScript script;
    script.reply = "201";
    LoopbackServer server(script, TestAddress(5).c_str(), 8163);
    SetAddress(TestAddress(5).c_str());
    EXPECT_EQ(CAppEstablishConnection(&gTheApp), 100);
    EXPECT_EQ(gTheApp.mIpAddressChanged, 0);
    EXPECT_EQ(gTheApp.mSocket.mSocket, INVALID_SOCKET);  // the probe's connection is closed

    ServerScript exchange;
    exchange.reply = "301";
    LoopbackServer second(exchange, TestAddress(6).c_str(), 8163);
    ASSERT_EQ(CSocketConnectSocket(&gTheApp.mSocket, TestAddress(6).c_str(), SECURE_ACCESS_PORT), 1);
    EXPECT_EQ(CAppSend(&gTheApp, "PCAC", 4), 408);
    char reply[4] = {};
    EXPECT_EQ(CAppRead(&gTheApp, reply, 3), 407);
    EXPECT_STREQ(reply, "301");
    EXPECT_EQ(CAppRead(&gTheApp, reply, 3), 401);  // the server closed
    CSocketCloseSocket(&gTheApp.mSocket);
    EXPECT_EQ(CAppSend(&gTheApp, "PCAC", 4), 401);
    EXPECT_EQ(second.Received(), "PCAC");

    SetAddress(TestAddress(7).c_str());  // nobody there
    gTheApp.mIpAddressChanged = 1;
    EXPECT_EQ(CAppEstablishConnection(&gTheApp), 403);
    EXPECT_EQ(gTheApp.mIpAddressChanged, 1);
}

TEST_F(AppTest, DialogSteps)
{
    struct Case { std::string answer; int16_t code; };
    for (const Case& c : {Case{"Secure Access: 1112=bob, OK", 101}, Case{"Secure Access: Cancel", 400}}) {
        ScriptedUser user({c.answer}, nullptr);
        InstallUser(&user);
        gTheApp.mIpAddressChanged = 0;
        EXPECT_EQ(CAppGetUserInfo(&gTheApp), c.code) << c.answer;
        UninstallUser();
    }
    EXPECT_STREQ(ident_.docOwner, "bob");
    ScriptedUser locked({"Secure Access: Esc"}, nullptr);
    InstallUser(&locked);
    EXPECT_EQ(CAppGetIPAddressFromUser(&gTheApp), 400);
    UninstallUser();
    EXPECT_FALSE(locked.Dialogs().front().controls.empty());
}

TEST_F(AppTest, RejectedFieldsBlockChoosesTheMessage)
{
    ScriptedUser user({"Validation Error: OK"}, nullptr);
    InstallUser(&user);
    CAppDisplayInvalidInfoMessage(&gTheApp, "1x0x1x");  // user ID and account number rejected
    UninstallUser();
    std::vector<SeenDialog> dialogs = user.Dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    int found = 0;
    for (const ControlView& c : dialogs.front().controls) {
        if (c.id != 1103) continue;
        EXPECT_EQ(c.text, "UserID\nAccount Number");
        found++;
    }
    EXPECT_EQ(found, 1);
    EXPECT_EQ(gTheApp.mInvalidUserMsgBox.mUserID, 0);
    EXPECT_EQ(gTheApp.mInvalidUserMsgBox.mPassword, 1);
    EXPECT_EQ(gTheApp.mInvalidUserMsgBox.mAcctNumber, 0);
}

}  // namespace
