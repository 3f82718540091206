// The application of the offscreen Qt tests, created once for the whole binary.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>

#include <array>
#include <memory>

namespace vorngui::qt::testing {
namespace {

// One application for the whole binary, offscreen, named as the program, in the C locale so
// texts compare exactly.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QLocale::setDefault(QLocale::c());
        m_application = std::make_unique<QApplication>(m_argc, m_argv.data());
        QApplication::setApplicationName(QStringLiteral("vornGui"));
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { m_application.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "gui_qt_tests";
    std::array<char*, 2> m_argv{m_name, nullptr};
    std::unique_ptr<QApplication> m_application;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace
} // namespace vorngui::qt::testing
