// Dialogs run modally in Qt windows over faked services, with a script playing the operator.
#pragma once

#include "fake_services.h"
#include "qt_dialog_runner.h"
#include "qt_test_support.h"

#include <gtest/gtest.h>

namespace vorngui::qt {

struct RunnerFixture : ::testing::Test {
    vorngui::testing::FakeServices fake;
    QtDialogRunner runner;
    Services services{fake.board, fake.clock, fake.random, fake.process, runner};
    testing::ModalScript script;
};

} // namespace vorngui::qt
