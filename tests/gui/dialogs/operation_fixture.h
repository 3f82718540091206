// A fixture for the operation dialogs over faked services: a board record the handle points at,
// a recording view, and short-hands for opening a dialog and pressing its buttons.
#pragma once

#include "dialog.h"
#include "dialog_table.h"
#include "fake_services.h"
#include "fake_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace vorngui::testing {

class OperationDialogFixture : public ::testing::Test {
protected:
    // Gives the dialog the board, or the demonstration block and flag, as the main window does.
    void give(Dialog& dialog, bool demonstration = false) {
        dialog.setBoard(demonstration ? &m_demoBlock : &m_record, demonstration ? 1 : 0);
    }
    // Gives the board and runs the dialog's opening on `view`.
    void open(Dialog& dialog, bool demonstration = false) {
        give(dialog, demonstration);
        dialog.onInitDialog(view);
    }
    void setModel(uint16_t model) { m_record.modelCode = model; }

    FakeServices fakes;
    FakeView view;

private:
    BoardRecord m_record{0x564F524E, 0x9070, 3, 0};
    // The demonstration block: only its model code is set.
    BoardRecord m_demoBlock{0, 0x9070, 0, 0};
};

// Each menu command given opens a dialog of the template paired with it.
inline void expectMenuOpens(std::initializer_list<std::pair<int, int>> commandTemplates) {
    FakeServices fakes;
    for (const auto& [command, templateId] : commandTemplates) {
        const auto dialog = createOperationDialog(command, fakes.services);
        ASSERT_NE(dialog, nullptr) << command;
        EXPECT_EQ(dialog->templateId(), templateId) << command;
    }
}

} // namespace vorngui::testing
