// The vornGui program: its command line, its display check, its name, and the render tool.
#include "control_app.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

#include <map>

namespace vorngui {
namespace {

TEST(AppTest, ArgumentsAreHelpOrNothing) {
    EXPECT_EQ(parseArguments({}).launch, Launch::Run);
    EXPECT_EQ(parseArguments({"--help"}).launch, Launch::Help);
    EXPECT_EQ(parseArguments({"-h"}).launch, Launch::Help);
    const LaunchRequest bad = parseArguments({"--help", "--board"});
    EXPECT_EQ(bad.launch, Launch::BadArguments);
    EXPECT_EQ(bad.error, "unknown argument '--board'");
}

TEST(AppTest, ProgramNameIsTheFileNameWithoutExtension) {
    EXPECT_EQ(programNameFrom("/usr/local/bin/vornGui"), "vornGui");
    EXPECT_EQ(programNameFrom("vornGui.exe"), "vornGui");
    EXPECT_EQ(programNameFrom("./build/my.tool.bin"), "my.tool");
    EXPECT_EQ(programNameFrom("/opt/.hidden"), ".hidden");
}

TEST(AppTest, DisplayIsNeededUnlessAPlatformIsChosen) {
    std::map<std::string, std::string> variables;
    const auto environment = [&](const char* name) {
        const auto found = variables.find(name);
        return found == variables.end() ? std::string() : found->second;
    };
    EXPECT_EQ(displayProblem(environment),
              "no display: neither DISPLAY nor WAYLAND_DISPLAY is set");
    variables["WAYLAND_DISPLAY"] = "wayland-0";
    EXPECT_FALSE(displayProblem(environment));
    variables.clear();
    variables["QT_QPA_PLATFORM"] = "offscreen";
    EXPECT_FALSE(displayProblem(environment));
    variables.clear();
    // A display over the network is left to the window system; a local one must answer.
    variables["DISPLAY"] = "remotehost:10.0";
    EXPECT_FALSE(displayProblem(environment));
    variables["DISPLAY"] = ":4093.0";
    EXPECT_EQ(displayProblem(environment), "no X server answers on display :4093.0");
}

struct ProgramRun {
    int exitCode;
    QString out;
    QString err;
};

ProgramRun runProgram(const QString& program, const QStringList& arguments,
                      const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    // Bounded: a hung program fails the test rather than the run.
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

TEST(AppTest, HelpDescribesTheProgram) {
    const ProgramRun run =
        runProgram(VORNGUI_PROGRAM, {"--help"}, QProcessEnvironment::systemEnvironment());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.out.startsWith("Usage: vornGui")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("needs a display"));
    EXPECT_TRUE(run.out.contains("/run/vornhost/vornhost.sock"));
}

TEST(AppTest, WithoutADisplayItSaysSoAndFails) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(name);
    }
    const ProgramRun run = runProgram(VORNGUI_PROGRAM, {}, environment);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.contains("no display")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("xvfb-run -a vornGui"));

    const ProgramRun bad = runProgram(VORNGUI_PROGRAM, {"--demo"}, environment);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("unknown argument '--demo'"));
}

TEST(AppTest, RenderToolWritesOnePictureOfEachWindow) {
    QDir dir(QStringLiteral(VORNGUI_TEST_OUTPUT "/rendered"));
    dir.removeRecursively();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
#ifdef VORN_SANITIZER_THREAD
    // Qt's own image workers race inside the uninstrumented libraries; ours are checked here.
    environment.insert("TSAN_OPTIONS", environment.value("TSAN_OPTIONS") +
                                           ":suppressions=" VORNGUI_TSAN_SUPPRESSIONS);
#endif
    const ProgramRun run = runProgram(VORNGUI_RENDER, {dir.path()}, environment);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList files = dir.entryList({"*.png"}, QDir::Files, QDir::Name);
    for (const char* name : {"100_aboutDialog.png", "102_mainDialog.png", "130_timeSetDialog.png",
                             "131_timeRetrieveDialog.png", "136_dateRetrieveDialog.png",
                             "137_yearSetDialog.png", "144_boardSelectDialog.png"}) {
        EXPECT_TRUE(files.contains(name)) << name;
    }
    for (const QString& file : files) {
        const QImage image(dir.filePath(file));
        EXPECT_FALSE(image.isNull()) << file.toStdString();
        EXPECT_GT(image.width(), 100) << file.toStdString();
        EXPECT_GT(image.height(), 50) << file.toStdString();
    }
    // The main window is its picture area below the menu bar.
    const QImage main(dir.filePath("102_mainDialog.png"));
    EXPECT_GE(main.height(), 439);
    EXPECT_GE(main.width(), 480);
}

} // namespace
} // namespace vorngui
