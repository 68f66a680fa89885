// Message boxes, the message loop, timers and the hand-over of calls to the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Dialogs.h"
#include "platform/Forms.h"
#include "platform/HeadlessFrontEnd.h"
#include "platform/Threads.h"

namespace {

class HeadlessBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        Application.Initialize();
        platform::SetHeadlessOutput(&output);
        platform::SetHeadlessAnswers({});
    }
    void TearDown() override { platform::SetHeadlessOutput(nullptr); }
    std::string output;
};

}  // namespace

TEST(MessageBoxRules, DefaultAndCancelButtons) {
    EXPECT_EQ(DefaultButton({mbYes, mbNo}), mbYes);
    EXPECT_EQ(CancelButton({mbYes, mbNo}), mbNo);
    EXPECT_EQ(DefaultButton({mbOK}), mbOK);
    EXPECT_EQ(CancelButton({mbOK}), mbOK);
    EXPECT_EQ(DefaultButton({mbOK, mbCancel}), mbOK);
    EXPECT_EQ(CancelButton({mbOK, mbCancel}), mbCancel);
    EXPECT_EQ(DefaultButton({mbAbort, mbRetry, mbIgnore}), mbRetry);
    EXPECT_EQ(CancelButton({mbAbort, mbIgnore}), mbHelp);
    EXPECT_STREQ(MsgDlgCaption(mtConfirmation), "Confirm");
    EXPECT_STREQ(MsgDlgCaption(mtError), "Error");
    EXPECT_STREQ(ButtonCaption(mbYesToAll), "Yes to &All");
}

TEST_F(HeadlessBoxes, PrintsCaptionTextAndAnswer) {
    EXPECT_EQ(MessageDlg("line one\r\nline two", mtInformation, {mbOK}), mrOk);
    EXPECT_EQ(output, "== Information ==\nline one\nline two\n-> OK\n");
}

// A name from the disk or the environment may hold control characters: on a terminal or in a log
// they would erase or overwrite what the user is shown (ESC sequences, backspace, a carriage
// return) or set the window title. They are shown escaped; the program's own line breaks stay.
TEST_F(HeadlessBoxes, ControlCharactersOfNamesAreShownEscaped) {
    struct Case {
        std::string ansi;
        std::string shown;
    };
    std::vector<Case> cases = {
        {"r\x1b[2K\x1b[1Gx.eml", "r\\x1b[2K\\x1b[1Gx.eml"},
        {"a\x07\x08\tb\x7f", "a\\x07\\x08\\x09b\\x7f"},
        {"one\ntwo\rthree", "one\\x0atwo\\x0dthree"},
        {"plain \\ name.eml", "plain \\ name.eml"},
    };
#if !defined(_WIN32)
    // Code points the ANSI code page leaves undefined come out as C1 controls (0x9D is OSC).
    cases.push_back({"caf\xE9 \x9D\x81", "caf\xC3\xA9 \\x9d\\x81"});
#endif
    for (const Case& c : cases) {
        EXPECT_EQ(platform::ConsoleText(c.ansi), c.shown);
        output.clear();
        MessageDlg("Cannot open file \"" + c.ansi + "\"\r\nsecond line", mtConfirmation, {mbOK});
        EXPECT_EQ(output, "== Confirm ==\nCannot open file \"" + c.shown + "\"\nsecond line\n-> OK\n");
    }
}

TEST_F(HeadlessBoxes, AnswersAreTakenInOrderThenDefaults) {
    platform::SetHeadlessAnswers({"No", "Yes to All", "nonsense"});
    EXPECT_EQ(MessageDlg("q1", mtConfirmation, {mbYes, mbNo}), mrNo);
    EXPECT_EQ(MessageDlg("q2", mtConfirmation, {mbYes, mbNo, mbNoToAll, mbYesToAll}), mrYesToAll);
    EXPECT_EQ(MessageDlg("q3", mtConfirmation, {mbAbort, mbRetry, mbIgnore}), mrRetry);  // not a button: default
    EXPECT_EQ(MessageDlg("q4", mtConfirmation, {mbYes, mbNo}), mrYes);
    EXPECT_NE(output.find("q2\n-> Yes to All\n"), std::string::npos) << output;
    std::string value = "old";
    platform::SetHeadlessAnswers({"secret"});
    EXPECT_TRUE(InputQuery("Password for \"a\"", "Enter password: ", value));
    EXPECT_EQ(value, "secret");
    platform::SetHeadlessAnswers({"Cancel"});
    EXPECT_FALSE(InputQuery("c", "p", value));
}

TEST_F(HeadlessBoxes, UnattendedBoxesCannotLoopAndNeverIgnore) {
    // A failure that persists: Retry a few times, then Abort; asked again, Abort at once.
    const TMsgDlgButtons failure{mbAbort, mbRetry, mbIgnore};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(MessageDlg("locked", mtConfirmation, failure), mrRetry) << i;
    EXPECT_EQ(MessageDlg("locked", mtConfirmation, failure), mrAbort);
    EXPECT_EQ(MessageDlg("locked", mtConfirmation, failure), mrAbort);
    EXPECT_EQ(MessageDlg("other file", mtConfirmation, failure), mrRetry);  // another box has its own tries
    // A prompt that shows another number each time still ends.
    int retries = 0;
    while (MessageDlg("size " + std::to_string(retries), mtConfirmation, failure) == mrRetry && retries < 100) ++retries;
    EXPECT_EQ(retries, 24);
    // A box without a default takes its cancel result, and the answer printed is a button it has.
    output.clear();
    EXPECT_EQ(MessageDlg("damaged", mtConfirmation, {mbAbort, mbIgnore}), mrAbort);
    EXPECT_EQ(output, "== Confirm ==\ndamaged\n-> Abort\n");
    // A box asked again and again (a disk that never comes) takes its default once, then Cancel or No.
    EXPECT_EQ(MessageDlg("insert disk", mtConfirmation, {mbOK, mbCancel}), mrOk);
    EXPECT_EQ(MessageDlg("insert disk", mtConfirmation, {mbOK, mbCancel}), mrCancel);
    EXPECT_EQ(MessageDlg("overwrite?", mtConfirmation, {mbYes, mbNo, mbNoToAll, mbYesToAll}), mrYes);
    EXPECT_EQ(MessageDlg("overwrite?", mtConfirmation, {mbYes, mbNo, mbNoToAll, mbYesToAll}), mrNo);
    std::string value = "v";
    EXPECT_TRUE(InputQuery("Password", "Enter password: ", value));
    EXPECT_FALSE(InputQuery("Password", "Enter password: ", value));
    // A scripted answer is taken as given; a new script starts the count afresh.
    platform::SetHeadlessAnswers({"Ignore"});
    EXPECT_EQ(MessageDlg("locked", mtConfirmation, failure), mrIgnore);
    EXPECT_EQ(MessageDlg("locked", mtConfirmation, failure), mrRetry);
}

TEST(MainThread, HandedOverCallsRunOnlyWhenMessagesAreProcessed) {
    Application.Initialize();
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    std::thread worker([&] {
        platform::Synchronize([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
    });
    platform::Sleep(50);
    EXPECT_FALSE(ran);
    while (!ran) {
        Application.ProcessMessages();
        platform::Sleep(1);
    }
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(MainThread, CriticalSectionExcludesOtherThreads) {
    platform::CriticalSection cs;
    cs.Enter();
    cs.Enter();  // the holder may take it again
    std::atomic<bool> entered{false};
    std::thread other([&] {
        platform::CriticalSectionLock lock(cs);
        entered = true;
    });
    platform::Sleep(30);
    EXPECT_FALSE(entered);
    cs.Leave();
    cs.Leave();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(MessageLoop, TimerFiresFromTheLoopAndQuitClosesBoxesAtOnce) {
    Application.Initialize();
    std::string output;
    platform::SetHeadlessOutput(&output);
    TForm form(nullptr);
    TTimer timer(&form);
    timer.SetInterval(10);
    int ticks = 0;
    timer.OnTimer = [&](TObject*) {
        if (++ticks == 3) timer.SetEnabled(false);
    };
    timer.SetEnabled(true);
    for (int i = 0; i < 200 && ticks < 3; ++i) {
        platform::Sleep(5);
        Application.ProcessMessages();
    }
    EXPECT_EQ(ticks, 3);
    Application.Terminate();
    EXPECT_EQ(MessageDlg("final", mtInformation, {mbOK}), mrCancel);
    EXPECT_EQ(output, "== Information ==\nfinal\n-> Cancel\n");
    Application.ClearTerminate();
    platform::SetHeadlessOutput(nullptr);
}

TEST(MessageLoop, ACloseAnsweredBeforeTheFirstTickEndsTheLoopWithoutTheTick) {
    Application.Initialize();
    Application.ClearTerminate();
    Application.DestroyForms();
    TForm* form = Application.CreateForm<TForm>();
    auto* timer = new TTimer(form);  // the form frees it
    timer->SetInterval(100);
    int ticks = 0;
    timer->OnTimer = [&](TObject*) { ++ticks; };
    timer->SetEnabled(true);
    // The user takes longer than the timer's interval to answer the close question.
    form->OnCloseQuery = [](TObject*, bool& canClose) {
        platform::Sleep(150);
        canClose = true;
    };
    platform::SimulateCloseCommand();
    Application.Run();
    EXPECT_TRUE(Application.Terminated());
    EXPECT_EQ(ticks, 0);
    Application.DestroyForms();
    Application.ClearTerminate();
}
