// Input during a blocking call, sent through the window system: a click on a button disabled
// for a wait is dropped, not delivered when the button is enabled again.
#include "event_dialogs.h"
#include "fake_services.h"
#include "private_display.h"
#include "qt_dialog_runner.h"
#include "qt_test_support.h"

#include <gtest/gtest.h>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>

namespace vorngui::x11 {
namespace {

using qt::testing::control;
using qt::testing::ModalScript;
using ::testing::_;

// Counts the mouse-button releases the application reads from the display, before Qt turns
// them into events or holds them back.
class ReleaseCounter : public QAbstractNativeEventFilter {
public:
    ReleaseCounter() { qApp->installNativeEventFilter(this); }
    ~ReleaseCounter() override { qApp->removeNativeEventFilter(this); }
    ReleaseCounter(const ReleaseCounter&) = delete;
    ReleaseCounter& operator=(const ReleaseCounter&) = delete;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type == "xcb_generic_event_t") {
            // The X protocol's layout: the event code, then for an extension's generic event
            // its own code at byte 8 (XInput 2 carries the pointer's buttons that way).
            const auto* bytes = static_cast<const uint8_t*>(message);
            const int code = bytes[0] & 0x7f;
            const int extended = bytes[8] | bytes[9] << 8;
            if (code == kButtonRelease || (code == kGenericEvent && extended == kXiButtonRelease)) {
                ++releases;
            }
        }
        return false;
    }

    int releases = 0;

private:
    static constexpr int kButtonRelease = 5;
    static constexpr int kGenericEvent = 35;
    static constexpr int kXiButtonRelease = 5;
};

// About three seconds of the script's polls: how long a click may take to reach the program.
constexpr int kClickArrivalPolls = 600;
// About ten seconds: Escape must have closed the dialog by then.
constexpr int kEscapePolls = 2000;

TEST(BlockedInputTest, ClickOnCancelDuringAWaitIsDroppedNotDeliveredAfter) {
    vorngui::testing::FakeServices fake;
    qt::QtDialogRunner runner;
    const Services services{fake.board, fake.clock, fake.random, fake.process, runner};
    EventDialog dialog(services);
    BoardRecord record{};
    dialog.setBoard(&record, 0);

    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> waiting{false};
    std::atomic<bool> returned{false};
    EXPECT_CALL(fake.board, waitEvent(_, _)).WillOnce([&](BoardHandle, EventObj* event) {
        waiting = true;
        released.wait_for(std::chrono::seconds(60));
        event->dayOfYear = 123;
        event->hours = 4;
        returned = true;
        return uint8_t{0};
    });

    ReleaseCounter counter;
    QPushButton* cancel = nullptr;
    QPushButton* check = nullptr;
    int arrivalPolls = 0;
    bool escapeSent = false;
    int escapePolls = 0;
    ModalScript script;
    script.on(
        "eventDialog",
        [&](QDialog& window) {
            cancel = control<QPushButton>(window, controls::event::kCancel);
            check = control<QPushButton>(window, controls::event::kCheck);
            QTest::mouseClick(check, Qt::LeftButton);
        },
        [] { return QApplication::activeWindow() != nullptr; });
    script.on(
        "eventDialog",
        [&](QDialog&) {
            const QPoint at = cancel->mapToGlobal(cancel->rect().center());
            EXPECT_FALSE(cancel->isEnabled());
            xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
        },
        [&] { return waiting.load(); });
    script.on(
        "eventDialog", [&](QDialog&) { release.set_value(); },
        [&] { return counter.releases > 0 || ++arrivalPolls > kClickArrivalPolls; });
    script.on(
        "eventDialog",
        [&](QDialog& window) {
            EXPECT_EQ(control<QLineEdit>(window, controls::event::kDays)->text(), "123");
            // A real key after the wait, queued behind the click: it still reaches the dialog
            // (the cancel path), which a delivered click would already have closed.
            xdotool({"key", "Escape"});
            escapeSent = true;
        },
        [&] { return returned && check->isEnabled(); });
    script.on(
        "eventDialog",
        [](QDialog& window) {
            ADD_FAILURE() << "Escape after the wait did not reach the dialog";
            window.done(QDialog::Rejected);
        },
        [&] { return escapeSent && ++escapePolls > kEscapePolls; });

    EXPECT_EQ(runner.runModal(dialog), DialogResult::Cancel);
    EXPECT_TRUE(returned);
    EXPECT_GT(counter.releases, 0) << "the click never reached the program while it waited";
}

} // namespace
} // namespace vorngui::x11
