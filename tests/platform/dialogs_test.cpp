// The dialog service: headless answers, scripted answers, logging.
#include "platform/dialogs.h"
#include "qt_app.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using platform::MsgButtons;
using platform::MsgKind;
using platform::MsgResult;

// Captures the headless log for one test.
class LogCapture {
public:
    LogCapture() {
        twtest::App();
        platform::SetHeadlessLogHook([this](const std::string& l) { lines.push_back(l); });
    }
    ~LogCapture() { platform::SetHeadlessLogHook({}); }
    std::vector<std::string> lines;
};

TEST(Dialogs, HeadlessAnswersChangeNothingUnlessToldOtherwise) {
    LogCapture log;
    ASSERT_TRUE(platform::IsHeadless());
    struct Case {
        MsgButtons buttons;
        std::optional<MsgResult> wanted;
        MsgResult answer;
    };
    const Case cases[] = {
        {MsgButtons::Ok, std::nullopt, MsgResult::Ok},
        {MsgButtons::OkCancel, std::nullopt, MsgResult::Cancel},
        {MsgButtons::YesNo, std::nullopt, MsgResult::No},
        {MsgButtons::YesNoCancel, std::nullopt, MsgResult::Cancel},
        {MsgButtons::YesNo, MsgResult::Yes, MsgResult::Yes},
        {MsgButtons::OkCancel, MsgResult::Ok, MsgResult::Ok},
        {MsgButtons::YesNoCancel, MsgResult::No, MsgResult::No},
        {MsgButtons::YesNo, MsgResult::Ok, MsgResult::No},      // not one of its buttons
        {MsgButtons::Ok, MsgResult::Cancel, MsgResult::Ok},
    };
    for (const auto& c : cases) {
        MsgResult r = c.wanted ? platform::MessageBox("Delete?", MsgKind::Confirmation, c.buttons, *c.wanted)
                               : platform::MessageBox("Delete?", MsgKind::Confirmation, c.buttons);
        EXPECT_EQ(r, c.answer) << static_cast<int>(c.buttons);
        EXPECT_EQ(platform::DefaultAnswer(c.buttons, c.wanted), c.answer);
    }
    EXPECT_EQ(log.lines.size(), std::size(cases));
}

TEST(Dialogs, HeadlessTextIsLoggedOnOneLine) {
    LogCapture log;
    platform::MessageBox("If you close the program then you will no longer be able to Send/Receive "
                         "through Tarnwick.\rClose application?",
                         MsgKind::Confirmation, MsgButtons::YesNo, MsgResult::Yes);
    platform::MessageBox("Application is running already.");
    platform::MessageBox("one\r\ntwo\nthree", MsgKind::Error);
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_EQ(log.lines[2], "Error: one two three [answered Ok]");
    EXPECT_EQ(log.lines[0],
              "Confirmation: If you close the program then you will no longer be able to Send/Receive "
              "through Tarnwick. Close application? [answered Yes]");
    EXPECT_EQ(log.lines[1], "Information: Application is running already. [answered Ok]");
}

TEST(Dialogs, HeadlessInputBoxIsCancelled) {
    LogCapture log;
    std::string value = "unchanged";
    EXPECT_FALSE(platform::InputBox("Password", "Enter the settings password", value, true));
    EXPECT_EQ(value, "unchanged");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("Enter the settings password"), std::string::npos);
}

TEST(Dialogs, ScriptedAnswersInTests) {
    LogCapture log;
    std::vector<platform::DialogCall> seen;
    platform::SetDialogHandlerForTesting([&](platform::DialogCall& call) {
        seen.push_back(call);
        if (call.value) {
            *call.value = "secret";
            return MsgResult::Ok;
        }
        if (call.buttons == MsgButtons::Ok) return MsgResult::Yes;  // impossible answer
        return MsgResult::Yes;
    });
    EXPECT_EQ(platform::MessageBox("Close?", MsgKind::Confirmation, MsgButtons::YesNo), MsgResult::Yes);
    EXPECT_EQ(platform::MessageBox("Done.", MsgKind::Information, MsgButtons::Ok), MsgResult::Ok);
    std::string value;
    EXPECT_TRUE(platform::InputBox("Caption", "Prompt", value));
    EXPECT_EQ(value, "secret");
    platform::SetDialogHandlerForTesting({});

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].text, "Close?");
    EXPECT_EQ(seen[0].kind, MsgKind::Confirmation);
    EXPECT_FALSE(seen[0].defaultResult.has_value());
    EXPECT_EQ(seen[2].caption, "Caption");
    EXPECT_EQ(seen[2].text, "Prompt");
    EXPECT_TRUE(log.lines.empty());  // scripted dialogs are not logged

    // A cancelled scripted input leaves the value alone.
    platform::SetDialogHandlerForTesting([](platform::DialogCall& call) {
        *call.value = "typed then cancelled";
        return MsgResult::Cancel;
    });
    value = "kept";
    EXPECT_FALSE(platform::InputBox("C", "P", value));
    EXPECT_EQ(value, "kept");
    platform::SetDialogHandlerForTesting({});
}

}  // namespace
