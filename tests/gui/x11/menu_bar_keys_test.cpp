// The vornGui program on a private display, driven with real keys and clicks: keys aimed at
// the menu bar stay with the menu bar and never end the program.
#include "private_display.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <functional>

namespace vorngui::x11 {
namespace {

// Bounds for the program to react; generous for the sanitizer builds on a loaded machine.
constexpr int kReactMs = 30000;
constexpr int kPollMs = 25;

const QString kMainTitle = QStringLiteral("VORN/SOLK Control Utility");
const QString kProgramName = QStringLiteral("vornGui");

// vornGui on the demonstration board, its main window shown and holding the keyboard focus.
class MenuBarKeysTest : public ::testing::Test {
protected:
    void SetUp() override {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
#ifdef VORN_SANITIZER_THREAD
        environment.insert("TSAN_OPTIONS", environment.value("TSAN_OPTIONS") +
                                               ":suppressions=" VORNGUI_TSAN_SUPPRESSIONS);
#endif
        m_program.setProcessEnvironment(environment);
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        endWithParent(m_program);
        m_program.start(QStringLiteral(VORNGUI_PROGRAM), {});
        ASSERT_TRUE(m_program.waitForStarted(kReactMs));
        ASSERT_TRUE(focusOn(QStringLiteral("Select Timing Board")));
        xdotool({"key", "ctrl+a"});
        xdotool({"type", "DEMO"});
        xdotool({"key", "Return"});
        m_main = 0;
        ASSERT_TRUE(focusOn(kMainTitle, &m_main));
    }

    void TearDown() override {
        if (m_program.state() != QProcess::NotRunning) {
            m_program.kill();
            m_program.waitForFinished(kReactMs);
        }
    }

    // Polls `condition` until it holds; false (with a failure) when the bound passes or the
    // program ends first.
    bool waitFor(const char* what, const std::function<bool()>& condition) {
        const QDeadlineTimer deadline(kReactMs);
        while (!condition()) {
            if (m_program.state() != QProcess::Running) {
                ADD_FAILURE() << "vornGui ended while waiting for " << what;
                return false;
            }
            if (deadline.hasExpired()) {
                ADD_FAILURE() << "timed out waiting for " << what;
                return false;
            }
            QThread::msleep(kPollMs);
        }
        return true;
    }

    // Waits until the window titled `title` is shown and has the keyboard focus.
    bool focusOn(const QString& title, unsigned long* id = nullptr) {
        unsigned long window = 0;
        const bool focused = waitFor(qPrintable(title), [&] {
            window = visibleWindow(title);
            return window != 0 && focusedWindow() == window;
        });
        if (id) {
            *id = window;
        }
        return focused;
    }

    // Whether a menu is shown over the main window, the only other window.
    bool popupShown(bool shown) {
        return waitFor(shown ? "a menu to open" : "the menu to close",
                       [&] { return visibleWindowsOf(kProgramName) == (shown ? 2 : 1); });
    }

    // Proof that the keys before were taken and the program lives on: "Time Info" > "Retrieve"
    // opens its window; closing it and "File" > "Exit" end the program normally.
    void retrieveThenExit() {
        xdotool({"key", "alt+t"});
        ASSERT_TRUE(popupShown(true));
        xdotool({"key", "r"});
        ASSERT_TRUE(focusOn(QStringLiteral("RetrieveTime")));
        xdotool({"key", "Escape"});
        ASSERT_TRUE(
            waitFor("RetrieveTime to close", [&] { return visibleWindowsOf(kProgramName) == 1; }));
        // With no window manager, nothing gives the focus back to the main window.
        xdotool({"windowfocus", QString::number(m_main)});
        ASSERT_TRUE(focusOn(kMainTitle));
        xdotool({"key", "alt+f"});
        ASSERT_TRUE(popupShown(true));
        xdotool({"key", "x"});
        ASSERT_TRUE(m_program.waitForFinished(kReactMs));
        EXPECT_EQ(m_program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_program.exitCode(), 0);
    }

    QProcess m_program;
    unsigned long m_main = 0;
};

TEST_F(MenuBarKeysTest, EscapeOnTheMenuBarLeavesItsLoopNotTheProgram) {
    // Opened from the keyboard: Escape closes the menu, the next Escape leaves the menu bar.
    xdotool({"key", "alt+t"});
    ASSERT_TRUE(popupShown(true));
    xdotool({"key", "Escape"});
    ASSERT_TRUE(popupShown(false));
    xdotool({"key", "Escape"});
    // Opened with a click on "Time Info", next to "File" at the window's top-left.
    xdotool({"mousemove", "--window", QString::number(m_main), "60", "8", "click", "1"});
    ASSERT_TRUE(popupShown(true));
    xdotool({"key", "Escape"});
    ASSERT_TRUE(popupShown(false));
    xdotool({"key", "Escape"});
    retrieveThenExit();
}

TEST_F(MenuBarKeysTest, ReturnOnTheMenuBarOpensTheHighlightedMenu) {
    xdotool({"key", "alt+t"});
    ASSERT_TRUE(popupShown(true));
    xdotool({"key", "Escape"});
    ASSERT_TRUE(popupShown(false));
    xdotool({"key", "Return"});
    ASSERT_TRUE(popupShown(true));
    xdotool({"key", "Escape"});
    ASSERT_TRUE(popupShown(false));
    xdotool({"key", "Escape"});
    retrieveThenExit();
}

} // namespace
} // namespace vorngui::x11
