// The application object's exchanges with the reference print server, which
// a test fixture runs natively on host 13 of the test network (also for the
// Wine build):
// secure printing on, user ID and password required, alice:s3cret:42 accepted.
#include "capp.h"
#include "printer.h"
#include "scripted_user.h"
#include "spdll_framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ReferenceServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resources_ = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        ASSERT_NE(resources_, nullptr);
        memset(&gTheApp, 0, sizeof gTheApp);
        CAppConstructor(&gTheApp);
        memset(&ident_, 0, sizeof ident_);
        snprintf(ident_.ipAddress, sizeof ident_.ipAddress, "%s", TestAddress(13).c_str());
        CAppSetMembers(&gTheApp, &ident_, resources_);
    }
    void TearDown() override
    {
        CSocketDestructor(&gTheApp.mSocket);
        if (resources_) FreeLibrary(resources_);
    }
    // One request as the flow sends it; returns the reply's code.
    int16_t Request(const std::string& code, const std::string* line, char (&reply)[1024], int16_t replySize)
    {
        unsigned char frame[FRAME_BUFFER_SIZE];
        int16_t length = WritePralixConField(code.data(), frame, 3, line == nullptr);
        if (line) length = WritePralixConField(line->data(), frame, static_cast<int16_t>(line->size()), 1);
        memset(reply, 0, sizeof reply);
        EXPECT_EQ(CSocketConnectSocket(&gTheApp.mSocket, gTheApp.mIPAddressBox.mstrIPAddress, SECURE_ACCESS_PORT), 1);
        EXPECT_EQ(CAppSend(&gTheApp, frame, length), 408);
        EXPECT_EQ(CAppRead(&gTheApp, reply, replySize), 407);
        CSocketCloseSocket(&gTheApp.mSocket);
        return CAppConvertCodeAtoShort(&gTheApp, reply, 3);
    }
    HMODULE resources_ = nullptr;
    IdentOptions ident_;
};

TEST_F(ReferenceServerTest, PolicyThenAcceptedAndRejectedIdentities)
{
    EXPECT_EQ(CAppEstablishConnection(&gTheApp), 100);
    char reply[1024];
    ASSERT_EQ(Request(strSP_REQUEST_SETTINGS, nullptr, reply, 524), 200);
    CAppSetSecurePrintingOptions(&gTheApp, reply + 3);
    EXPECT_EQ(CAppEvaluateSecureOptions(&gTheApp), 405);

    snprintf(gTheApp.mDocInfoBox.mstrUserID, 25, "alice");
    snprintf(gTheApp.mDocInfoBox.mstrPassword, 9, "s3cret");
    char line[1024] = {};
    CAppAppendUserInfoOntoString(&gTheApp, line, sizeof line);
    std::string accepted(line);
    EXPECT_EQ(Request(strSP_REQUEST_VALIDATEINFO, &accepted, reply, 9), 201);

    snprintf(gTheApp.mDocInfoBox.mstrPassword, 9, "guess");
    memset(line, 0, sizeof line);
    CAppAppendUserInfoOntoString(&gTheApp, line, sizeof line);
    std::string rejected(line);
    ASSERT_EQ(Request(strSP_REQUEST_VALIDATEINFO, &rejected, reply, 9), 301);
    ScriptedUser user({"Validation Error: OK"}, nullptr);
    InstallUser(&user);
    CAppDisplayInvalidInfoMessage(&gTheApp, reply + 3);
    UninstallUser();
    EXPECT_EQ(gTheApp.mInvalidUserMsgBox.mUserID, 1);
    EXPECT_EQ(gTheApp.mInvalidUserMsgBox.mPassword, 0);
    EXPECT_EQ(gTheApp.mInvalidUserMsgBox.mAcctNumber, 1);
    EXPECT_EQ(user.Dialogs().size(), 1u);
}

}  // namespace
