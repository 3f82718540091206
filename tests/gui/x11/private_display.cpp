// Starting and stopping the private Xvfb display, and the xdotool calls the tests make on it.
#include "private_display.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

namespace vorngui::x11 {
namespace {

// Xvfb reports its display number once it takes clients; a loaded machine may be slow to start.
constexpr int kServerStartMs = 30000;
constexpr int kServerStopMs = 5000;

} // namespace

void endWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

PrivateDisplay::PrivateDisplay() : m_server(std::make_unique<QProcess>()) {
    endWithParent(*m_server);
    m_server->setProcessChannelMode(QProcess::SeparateChannels);
    // -displayfd picks the first free display number and writes it when the server is ready.
    m_server->start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                     QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                     QStringLiteral("1024x768x24")});
    if (!m_server->waitForStarted(kServerStartMs)) {
        m_error = QStringLiteral("cannot start Xvfb: ") + m_server->errorString();
        return;
    }
    QByteArray reported;
    const QDeadlineTimer deadline(kServerStartMs);
    while (!reported.contains('\n') && !deadline.hasExpired() &&
           m_server->state() == QProcess::Running) {
        m_server->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        reported += m_server->readAllStandardOutput();
    }
    bool ok = false;
    const int number = reported.trimmed().toInt(&ok);
    if (!ok) {
        m_error = QStringLiteral("Xvfb reported no display: ") +
                  QString::fromLocal8Bit(m_server->readAllStandardError());
        return;
    }
    m_name = QStringLiteral(":%1").arg(number);
}

PrivateDisplay::~PrivateDisplay() {
    if (m_server->state() == QProcess::NotRunning) {
        return;
    }
    m_server->terminate();
    if (!m_server->waitForFinished(kServerStopMs)) {
        m_server->kill();
        m_server->waitForFinished(kServerStopMs);
    }
}

ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess process;
    endWithParent(process);
    process.start(program, arguments);
    ToolRun run;
    run.finished = process.waitForFinished(timeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(kServerStopMs);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    return run;
}

QString xdotool(const QStringList& arguments) {
    const ToolRun run = runTool(QStringLiteral("xdotool"), arguments);
    EXPECT_TRUE(run.finished && run.exitCode == 0)
        << "xdotool " << arguments.join(' ').toStdString() << " failed";
    return run.out;
}

unsigned long visibleWindow(const QString& title) {
    const QString exact = '^' + QRegularExpression::escape(title) + '$';
    const ToolRun run = runTool(QStringLiteral("xdotool"),
                                {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--name"), exact});
    return run.exitCode == 0 ? run.out.section('\n', 0, 0).toULong() : 0;
}

int visibleWindowsOf(const QString& name) {
    const QString exact = '^' + QRegularExpression::escape(name) + '$';
    const ToolRun run = runTool(QStringLiteral("xdotool"),
                                {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--classname"), exact});
    return run.exitCode == 0 ? static_cast<int>(run.out.trimmed().split('\n').size()) : 0;
}

unsigned long focusedWindow() {
    const ToolRun run = runTool(QStringLiteral("xdotool"), {QStringLiteral("getwindowfocus")});
    return run.exitCode == 0 ? run.out.trimmed().toULong() : 0;
}

} // namespace vorngui::x11
