// The dialog view and modal runner: controls by id, message boxes, and the routing of clicks,
// Enter, Escape and the close box, with input held off while a blocking call runs; a real set
// dialog refusing a bad field and running on.
#include "qt_test_support.h"
#include "resource_ids.h"
#include "runner_fixture.h"
#include "time_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace vorngui::qt {
namespace {

using testing::acknowledge;
using testing::control;
using testing::ModalScript;

// A window with one control of each kind, built in code.
struct RunnerViewTest : ::testing::Test {
    RunnerViewTest() {
        auto* layout = new QVBoxLayout(&window);
        const auto add = [&](QWidget* widget, int id) {
            widget->setProperty(kControlIdProperty, id);
            layout->addWidget(widget);
        };
        add(new QLineEdit, 1000);
        add(new QComboBox, 1006);
        add(new QCheckBox(QStringLiteral("Heartbeat")), 1033);
        add(new QRadioButton(QStringLiteral("A")), 1027);
        add(new QRadioButton(QStringLiteral("B")), 1028);
        add(new QLabel(QStringLiteral("fixed")), 1100);
    }
    QDialog window;
    QtDialogView view{window};
};

TEST_F(RunnerViewTest, TextsChecksAndEnabledStates) {
    view.setText(1000, "12.5");
    EXPECT_EQ(control<QLineEdit>(window, 1000)->text(), "12.5");
    EXPECT_EQ(view.text(1000), "12.5");
    EXPECT_EQ(view.text(1100), "fixed");

    view.setChecked(1033, true);
    EXPECT_TRUE(view.isChecked(1033));
    view.setChecked(1033, false);
    EXPECT_FALSE(control<QCheckBox>(window, 1033)->isChecked());

    // Radio buttons are set and cleared one by one, as the dialog asks.
    view.setChecked(1027, true);
    view.setChecked(1028, true);
    view.setChecked(1027, false);
    EXPECT_FALSE(view.isChecked(1027));
    EXPECT_TRUE(view.isChecked(1028));
    view.setChecked(1028, false);
    EXPECT_FALSE(view.isChecked(1028));

    view.setEnabled(1000, false);
    EXPECT_FALSE(control<QLineEdit>(window, 1000)->isEnabled());
    EXPECT_EQ(view.missingControls(), 0);
}

TEST_F(RunnerViewTest, ListsKeepTheirItemsSortedWithNothingChosen) {
    view.setListItems(1006, {"Square", "Pulse"});
    auto* combo = control<QComboBox>(window, 1006);
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), "Pulse");
    EXPECT_EQ(combo->itemText(1), "Square");
    EXPECT_EQ(view.listSelection(1006), -1);
    view.setListSelection(1006, 1);
    EXPECT_EQ(combo->currentText(), "Square");
    EXPECT_EQ(view.listSelection(1006), 1);
    view.setListSelection(1006, 2);
    EXPECT_EQ(view.listSelection(1006), -1);
}

TEST_F(RunnerViewTest, FocusSelectsTheWholeText) {
    window.show();
    QApplication::setActiveWindow(&window);
    view.setText(1000, "abc");
    view.focusAndSelect(1000);
    auto* edit = control<QLineEdit>(window, 1000);
    EXPECT_EQ(edit->selectedText(), "abc");
    EXPECT_TRUE(edit->hasFocus());
}

TEST_F(RunnerViewTest, UnknownControlsAreCountedNotFatal) {
    view.setText(4242, "x");
    EXPECT_EQ(view.text(4242), "");
    EXPECT_FALSE(view.isChecked(4243));
    EXPECT_EQ(view.missingControls(), 3);
}

TEST_F(RunnerViewTest, MessageBoxHasOneOkButtonNoIconAndTheProgramsName) {
    QString shown;
    ModalScript script;
    script.on("messageBox", [&](QDialog& box) { shown = acknowledge(box); });
    view.showMessage("Could not retrieve date!!");
    EXPECT_EQ(shown, "Could not retrieve date!!");
    EXPECT_TRUE(script.done());
}

// A dialog that records what reaches it and ends when told to.
class ProbeDialog : public Dialog {
public:
    ProbeDialog(int templateId, const Services& services) : Dialog(templateId, services) {}

    void onInitDialog(DialogView& view) override {
        if (endAtOpening) {
            view.endDialog(DialogResult::Ok);
        }
    }
    void onCommand(DialogView& view, int control) override {
        events.push_back("command " + std::to_string(control) + " " + view.text(1000));
        if (onCommandHook) {
            onCommandHook(view, control);
        }
        if (control == 1005) {
            view.endDialog(DialogResult::Ok);
        }
    }
    void onEnterKey(DialogView&) override { events.push_back("enter"); }
    void onEscapeKey(DialogView& view) override {
        events.push_back("escape");
        if (escapeEnds) {
            view.endDialog(DialogResult::Cancel);
        }
    }
    void onCloseBox(DialogView& view) override {
        events.push_back("close");
        if (closeEnds) {
            view.endDialog(DialogResult::Cancel);
        }
    }

    std::vector<std::string> events;
    bool endAtOpening = false;
    bool escapeEnds = false;
    bool closeEnds = false;
    std::function<void(DialogView&, int)> onCommandHook;
};

struct RunnerTest : RunnerFixture {
    ProbeDialog dialog{templates::kTimeSet, services};
};

TEST_F(RunnerTest, TypedTextAndClicksReachTheDialog) {
    script.on("timeSetDialog", [](QDialog& window) {
        QTest::keyClicks(control<QLineEdit>(window, 1000), "123");
        QTest::mouseClick(control<QPushButton>(window, 1004), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(window, 1005), Qt::LeftButton);
    });
    EXPECT_EQ(runner.runModal(dialog), DialogResult::Ok);
    EXPECT_EQ(dialog.events, (std::vector<std::string>{"command 1004 123", "command 1005 123"}));
    EXPECT_TRUE(script.done());
}

TEST_F(RunnerTest, EnterGoesToTheDialogWhateverHasTheFocus) {
    script.on("timeSetDialog", [](QDialog& window) {
        auto* set = control<QPushButton>(window, 1004);
        set->setFocus();
        QTest::keyClick(set, Qt::Key_Return);
        QTest::keyClick(control<QLineEdit>(window, 1001), Qt::Key_Enter);
        QTest::mouseClick(control<QPushButton>(window, 1005), Qt::LeftButton);
    });
    runner.runModal(dialog);
    EXPECT_EQ(dialog.events, (std::vector<std::string>{"enter", "enter", "command 1005 "}));
}

TEST_F(RunnerTest, EscapeAndTheCloseBoxAskTheDialog) {
    bool stillOpen = false;
    script.on("timeSetDialog", [&](QDialog& window) {
        // The dialog does not end on these: the window stays.
        QTest::keyClick(control<QLineEdit>(window, 1000), Qt::Key_Escape);
        window.close();
        stillOpen = window.isVisible();
        dialog.closeEnds = true;
        window.close();
    });
    EXPECT_EQ(runner.runModal(dialog), DialogResult::Cancel);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(dialog.events, (std::vector<std::string>{"escape", "close", "close"}));
}

TEST_F(RunnerTest, DialogEndingAtItsOpeningIsNeverShown) {
    dialog.endAtOpening = true;
    testing::ShownWindows shown;
    EXPECT_EQ(runner.runModal(dialog), DialogResult::Ok);
    EXPECT_TRUE(shown.names.isEmpty());
    EXPECT_TRUE(runner.running().empty());
}

TEST_F(RunnerTest, BlockingCallTakesNoInputAndItsEffectsShowAfter) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> callReturned{false};
    int valueAfter = 0;
    std::string textAfter;
    dialog.onCommandHook = [&](DialogView& view, int control) {
        if (control != 1004) {
            return;
        }
        int value = 0;
        view.runBlocking([&] {
            // Held until the operator has tried the window; bounded so a fault cannot hang.
            released.wait_for(std::chrono::seconds(10));
            value = 42;
            view.setText(1000, "done");
            callReturned = true;
        });
        valueAfter = value;
        textAfter = view.text(1000);
    };
    script.on("timeSetDialog", [](QDialog& window) {
        QTest::mouseClick(control<QPushButton>(window, 1004), Qt::LeftButton);
    });
    script.on("timeSetDialog", [&](QDialog& window) {
        // Runs inside the blocking call's event loop: clicks and keys go nowhere.
        EXPECT_FALSE(callReturned);
        QTest::mouseClick(control<QPushButton>(window, 1005), Qt::LeftButton);
        QTest::keyClick(control<QLineEdit>(window, 1000), Qt::Key_Escape);
        window.close();
        EXPECT_TRUE(window.isVisible());
        release.set_value();
    });
    bool handlerReturned = false;
    script.on(
        "timeSetDialog",
        [](QDialog& window) {
            QTest::mouseClick(control<QPushButton>(window, 1005), Qt::LeftButton);
        },
        [&] { return handlerReturned; });
    const auto hook = dialog.onCommandHook;
    dialog.onCommandHook = [&](DialogView& view, int control) {
        hook(view, control);
        handlerReturned = control == 1004;
    };
    EXPECT_EQ(runner.runModal(dialog), DialogResult::Ok);
    EXPECT_TRUE(script.done());
    EXPECT_EQ(valueAfter, 42);
    EXPECT_EQ(textAfter, "done");
    EXPECT_EQ(dialog.events, (std::vector<std::string>{"command 1004 ", "command 1005 done"}));
}

TEST_F(RunnerTest, NestedDialogsRunOverTheirOwner) {
    ProbeDialog inner(templates::kYearSet, services);
    inner.escapeEnds = true;
    const QWidget* innerOwner = nullptr;
    dialog.onCommandHook = [&](DialogView&, int control) {
        if (control == 1004) {
            runner.runModal(inner);
        }
    };
    script.on("timeSetDialog", [](QDialog& window) {
        QTest::mouseClick(control<QPushButton>(window, 1004), Qt::LeftButton);
    });
    script.on("yearSetDialog", [&](QDialog& window) {
        innerOwner = window.parentWidget();
        QTest::keyClick(control<QLineEdit>(window, 1012), Qt::Key_Escape);
    });
    script.on("timeSetDialog", [](QDialog& window) {
        QTest::mouseClick(control<QPushButton>(window, 1005), Qt::LeftButton);
    });
    runner.runModal(dialog);
    EXPECT_TRUE(script.done());
    EXPECT_NE(innerOwner, nullptr);
    EXPECT_EQ(inner.events, (std::vector<std::string>{"escape"}));
}

TEST_F(RunnerTest, MissingTemplateEndsTheRunCancelled) {
    ProbeDialog orphan(99, services);
    EXPECT_EQ(runner.runModal(orphan), DialogResult::Cancel);
    EXPECT_TRUE(orphan.events.empty()) << ::testing::PrintToString(orphan.events);
}

TEST_F(RunnerTest, SetYearRefusesTextThatIsNotAYear) {
    YearSetDialog dialog(services);
    dialog.setBoard(nullptr, 1);
    QStringList messages;
    QLineEdit* year = nullptr;
    script.on("yearSetDialog", [&](QDialog& window) {
        year = control<QLineEdit>(window, controls::date::kYear);
        EXPECT_EQ(year->text(), "0");
        year->selectAll();
        QTest::keyClicks(year, "20x4");
        QTest::mouseClick(control<QPushButton>(window, 1020), Qt::LeftButton);
    });
    script.on("messageBox", [&](QDialog& box) { messages << acknowledge(box); });
    script.on("yearSetDialog", [&](QDialog& window) {
        year->selectAll();
        QTest::keyClicks(year, "2024");
        QTest::keyClick(control<QPushButton>(window, 1020), Qt::Key_Return);
    });
    EXPECT_EQ(runner.runModal(dialog), DialogResult::Ok);
    EXPECT_EQ(messages, QStringList{"Please enter an integer."});
}

} // namespace
} // namespace vorngui::qt
