// The standard alert: defaults, what reaches the responder, and the real modal box.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>

using namespace katest;

namespace {

DialogRef MakeAlert(AlertType type, const char* message, const char* informative, bool withCancel) {
    AlertStdCFStringAlertParamRec param;
    EXPECT_EQ(noErr, GetStandardAlertDefaultParams(&param, kStdCFStringAlertVersionOne));
    param.cancelButton = kAlertStdAlertCancelButton;
    if (withCancel) {
        param.cancelText = CFSTR("Cancel");
    }
    CFStringRef messageString = Utf8String(message);
    CFStringRef informativeString = Utf8String(informative);
    DialogRef alert = nullptr;
    EXPECT_EQ(noErr, CreateStandardAlert(type, messageString, informativeString, &param, &alert));
    // The alert keeps its own copy of the texts.
    CFRelease(messageString);
    CFRelease(informativeString);
    return alert;
}

class AlertTest : public ::testing::Test {
  protected:
    void SetUp() override { kaplatform::SetAlertResponder(&_responder); }
    void TearDown() override { kaplatform::SetAlertResponder(nullptr); }

    ScriptedAlertResponder _responder;
};

}  // namespace

TEST(AlertDefaultsTest, VersionOneHasOneStandardOkButton) {
    AlertStdCFStringAlertParamRec param;
    std::memset(&param, 0x5A, sizeof param);
    ASSERT_EQ(noErr, GetStandardAlertDefaultParams(&param, kStdCFStringAlertVersionOne));
    EXPECT_EQ(kStdCFStringAlertVersionOne, param.version);
    EXPECT_FALSE(param.movable);
    EXPECT_FALSE(param.helpButton);
    EXPECT_EQ(kAlertDefaultOKText, param.defaultText);
    EXPECT_EQ(nullptr, param.cancelText);
    EXPECT_EQ(nullptr, param.otherText);
    EXPECT_EQ(kAlertStdAlertOKButton, param.defaultButton);
    EXPECT_EQ(0, param.cancelButton);
    EXPECT_EQ(paramErr, GetStandardAlertDefaultParams(&param, 2));
}

TEST_F(AlertTest, ResponderSeesTextsAndButtonsAndChoosesTheResult) {
    _responder.answers = {kAlertStdAlertCancelButton};
    DialogItemIndex chosen = 0;
    ASSERT_EQ(noErr, RunStandardAlert(
                         MakeAlert(kAlertCautionAlert, "Caf\xC3\xA9 is open:", "Press OK", true),
                         nullptr, &chosen));
    EXPECT_EQ(kAlertStdAlertCancelButton, chosen);
    ASSERT_EQ(1u, _responder.requests.size());
    const kaplatform::AlertRequest& request = _responder.requests[0];
    EXPECT_EQ(kAlertCautionAlert, request.type);
    EXPECT_EQ("Caf\xC3\xA9 is open:", request.message);
    EXPECT_EQ("Press OK", request.informative);
    EXPECT_EQ((std::vector<std::string>{"OK", "Cancel"}), request.buttons);
    EXPECT_EQ(kAlertStdAlertCancelButton, request.cancelButton);

    // Without a cancel text there is one button, and nothing for Escape but it.
    ASSERT_EQ(noErr,
              RunStandardAlert(MakeAlert(kAlertNoteAlert, "Done", "", false), nullptr, &chosen));
    EXPECT_EQ(kAlertStdAlertOKButton, chosen);
    EXPECT_EQ((std::vector<std::string>{"OK"}), _responder.requests[1].buttons);
    EXPECT_EQ(0, _responder.requests[1].cancelButton);
}

TEST_F(AlertTest, RealBoxIsModalKeepsTimersRunningAndAnswersWithTheClickedButton) {
    _responder.answers = {kaplatform::kShowRealAlert, kaplatform::kShowRealAlert};
    int ticks = 0;
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(
        GetCurrentEventLoop(), 0, 0.01,
        [](EventLoopTimerRef, void* count) { ++*static_cast<int*>(count); }, &ticks, &timer);

    QString shownText;
    QString shownInformative;
    int ticksWhileOpen = 0;
    auto clickWhenShown = [&](const QString& buttonText) {
        Soon([&, buttonText] {
            QMessageBox* box = nullptr;
            ASSERT_TRUE(WaitUntil([&] {
                box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                return box != nullptr && box->isVisible();
            }));
            int before = ticks;
            ASSERT_TRUE(WaitUntil([&] { return ticks >= before + 2; }));
            ticksWhileOpen = ticks - before;
            shownText = box->text();
            shownInformative = box->informativeText();
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == buttonText) {
                    QTest::mouseClick(button, Qt::LeftButton);
                    return;
                }
            }
            ADD_FAILURE() << "no button " << buttonText.toStdString();
        });
    };

    clickWhenShown("Cancel");
    DialogItemIndex chosen = 0;
    RunStandardAlert(MakeAlert(kAlertCautionAlert, "This is a Downgrade:",
                               "Press OK to Continue or Cancel to Quit", true),
                     nullptr, &chosen);
    EXPECT_EQ(kAlertStdAlertCancelButton, chosen);
    EXPECT_EQ("This is a Downgrade:", shownText);
    EXPECT_EQ("Press OK to Continue or Cancel to Quit", shownInformative);
    EXPECT_GE(ticksWhileOpen, 2);

    clickWhenShown("OK");
    RunStandardAlert(MakeAlert(kAlertNoteAlert, "Programming Complete", "Power", false), nullptr,
                     &chosen);
    EXPECT_EQ(kAlertStdAlertOKButton, chosen);
    EXPECT_EQ(nullptr, QApplication::activeModalWidget()) << "the box is gone";
    RemoveEventLoopTimer(timer);
}

TEST_F(AlertTest, EscapeInTheRealBoxChoosesTheCancelButton) {
    _responder.answers = {kaplatform::kShowRealAlert};
    Soon([] {
        QWidget* box = nullptr;
        ASSERT_TRUE(WaitUntil([&] {
            box = QApplication::activeModalWidget();
            return box != nullptr && box->isVisible();
        }));
        QTest::keyClick(box, Qt::Key_Escape);
    });
    DialogItemIndex chosen = 0;
    RunStandardAlert(MakeAlert(kAlertCautionAlert, "Sure?", "", true), nullptr, &chosen);
    EXPECT_EQ(kAlertStdAlertCancelButton, chosen);
}
