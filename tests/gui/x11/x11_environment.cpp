// The application of the tests on a private X display: Xvfb started for this binary, DISPLAY
// pointing at it for this process and its children, and a Qt application on the xcb platform.
#include "private_display.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>

#include <array>
#include <cstdlib>
#include <memory>

namespace vorngui::x11 {
namespace {

class X11Environment : public ::testing::Environment {
public:
    void SetUp() override {
        m_display = std::make_unique<PrivateDisplay>();
        ASSERT_TRUE(m_display->ready()) << m_display->error().toStdString();
        // Whatever display the caller has, these tests use only their own.
        ::setenv("DISPLAY", qPrintable(m_display->name()), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        QLocale::setDefault(QLocale::c());
        m_application = std::make_unique<QApplication>(m_argc, m_argv.data());
        QApplication::setApplicationName(QStringLiteral("vornGui"));
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        m_application.reset();
        m_display.reset();
    }

private:
    int m_argc = 1;
    char m_name[16] = "gui_x11_tests";
    std::array<char*, 2> m_argv{m_name, nullptr};
    std::unique_ptr<PrivateDisplay> m_display;
    std::unique_ptr<QApplication> m_application;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new X11Environment);

} // namespace
} // namespace vorngui::x11

#ifdef VORN_SANITIZER_THREAD
// The races ThreadSanitizer sees inside the uninstrumented Qt and xcb libraries (as in
// tests/gui/qt/tsan_qt.supp); none involves a frame of ours.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libxcb.so.1\nrace:libQt6Core.so.6\nrace:libQt6Gui.so.6\n";
}
#endif
